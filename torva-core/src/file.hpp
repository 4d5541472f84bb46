// The file layer of the readers and writers: the buffered line reader and
// the output file. Internal to the core.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "torva/error.hpp"
#include "torva/text.hpp"

namespace torva {

inline constexpr std::size_t kReadBufferSize = 8192;
inline constexpr std::size_t kWriteBufferSize = 65536;

inline Error os_error(int err) { return Error::io(std::system_category().message(err)); }

// The system calls would stop reading a path at a NUL and open another file.
inline bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

inline Error invalid_utf8() { return Error::io("stream did not contain valid UTF-8"); }

// One line of an input file: valid UTF-8, without its line end.
struct Line {
    std::string_view text;
    bool ascii = true;

    std::size_t size() const { return text.size(); }
    bool starts_with(std::string_view prefix) const { return text.starts_with(prefix); }

    bool boundary(std::size_t pos) const {
        return ascii || pos >= text.size() || !is_continuation(static_cast<unsigned char>(text[pos]));
    }

    // Bytes of the 1-based columns first..last; nullopt when the line is too
    // short or the range would split a character.
    std::optional<std::string_view> bytes(std::size_t first, std::size_t last) const {
        const std::size_t begin = first - 1;
        if (last > text.size()) return std::nullopt;
        if (!boundary(begin) || !boundary(last)) return std::nullopt;
        return text.substr(begin, last - begin);
    }

    // The character at 1-based character position `col`, if the line has one.
    std::optional<char32_t> char_at(std::size_t col) const {
        if (ascii) {
            if (col > text.size()) return std::nullopt;
            return static_cast<char32_t>(static_cast<unsigned char>(text[col - 1]));
        }
        std::size_t i = 0;
        for (std::size_t k = 1; i < text.size(); ++k) {
            const char32_t c = decode_at(text, i);
            if (k == col) return c;
        }
        return std::nullopt;
    }
};

// Buffered line reader: lines end at "\n", a "\r" right before it is removed,
// the last line needs no terminator, and every line must be valid UTF-8.
// Lines are views into the read buffer when they lie inside it, so reading
// allocates nothing per line.
class LineReader {
public:
    LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    Status open(const std::string& path);

    // Whether `path` names the file this reader has open.
    bool is_same_file(const std::string& path) const;

    enum class Next { Line, End, Failed };

    // On Failed, error() holds the Io error.
    Next next(Line& line) {
        if (clear_carry_) {
            carry_.clear();
            carry_checked_ = 0;
            clear_carry_ = false;
        }
        for (;;) {
            if (pos_ < len_) {
                const char* start = buf_ + pos_;
                const std::size_t avail = len_ - pos_;
                const auto* nl = static_cast<const char*>(std::memchr(start, '\n', avail));
                if (nl != nullptr) {
                    const auto n = static_cast<std::size_t>(nl - start);
                    pos_ += n + 1;
                    std::string_view text;
                    if (carry_.empty()) {
                        text = std::string_view(start, n);
                    } else {
                        carry_.append(start, n);
                        text = carry_;
                    }
                    clear_carry_ = true;
                    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
                    return finish(text, line);
                }
                carry_.append(start, avail);
                pos_ = len_;
                // Fail early on a long line that is already known to be bad
                // (a binary file need not be read to its end).
                if (carry_.size() - carry_checked_ >= kReadBufferSize * 8) {
                    std::size_t valid = 0;
                    bool ascii = true;
                    const std::string_view rest = std::string_view(carry_).substr(carry_checked_);
                    if (check_utf8(rest, valid, ascii) == Utf8::Invalid) return fail(invalid_utf8());
                    carry_checked_ += valid;
                }
            }
            if (eof_) {
                if (carry_.empty()) return Next::End;
                clear_carry_ = true;
                return finish(carry_, line);
            }
            ssize_t got;
            do {
                got = ::read(fd_, buf_, sizeof buf_);
            } while (got < 0 && errno == EINTR);
            if (got < 0) return fail(os_error(errno));
            if (got == 0) eof_ = true;
            pos_ = 0;
            len_ = static_cast<std::size_t>(got);
        }
    }

    const Error& error() const { return error_; }

private:
    Next finish(std::string_view text, Line& line) {
        std::size_t valid = 0;
        bool ascii = true;
        if (check_utf8(text, valid, ascii) != Utf8::Valid) return fail(invalid_utf8());
        line.text = text;
        line.ascii = ascii;
        return Next::Line;
    }

    Next fail(Error e) {
        error_ = std::move(e);
        return Next::Failed;
    }

    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    char buf_[kReadBufferSize];
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    bool eof_ = false;
    std::string carry_;  // the current line when it spans buffer refills
    std::size_t carry_checked_ = 0;
    bool clear_carry_ = false;
    Error error_{ErrorKind::Io, ""};
};

// Buffered output file. A new file, or a writable regular file with no other
// hard link, is written to a temporary file beside it that replaces it only
// once everything was written, so a failed write leaves the old file (or none)
// rather than a truncated one; a replaced file keeps its permission bits. A new
// file gets mode 0666 (before the umask). Anything else (a device, a file with
// several links or without write permission, a dangling symbolic link) is
// opened and truncated in place, as is a file in a directory that does not let
// us add the temporary file.
class OutFile {
public:
    OutFile() = default;
    OutFile(const OutFile&) = delete;
    OutFile& operator=(const OutFile&) = delete;
    ~OutFile();

    // `path` may also be the file being read (`is_input`): a file written in
    // place is then held in memory and created only at `close`.
    Status create(const std::string& path, bool is_input = false);

    // Drops the output: a temporary file is removed, the old file stays; a
    // deferred output is never created. Only a file written in place keeps
    // what was written.
    void abandon();

    // The line buffer the caller may build a line in before `write`.
    std::string& scratch() { return scratch_; }

    // Returns false once writing has failed (the error is kept for `close`).
    bool write(std::string_view text) {
        if (err_ != 0) return false;
        if (!deferred_path_ && buf_.size() + text.size() > kWriteBufferSize) {
            if (!flush()) return false;
            if (text.size() > kWriteBufferSize) return write_all(text);
        }
        buf_.append(text);
        return true;
    }

    // Flushes, closes and puts the file in place; reports the first failure
    // (after which a temporary file is removed and the old file stays).
    Status close();

private:
    // Whether `path` can be replaced as a whole: it does not exist (but its
    // name is no dangling link), or it is a regular file with a single link.
    // `target` receives the file to replace (a symbolic link's target) and
    // `mode` the permission bits to keep (0 for a new file).
    static bool replace_target(const std::string& path, std::string& target, mode_t& mode);

    // 0 or the error number.
    int open_temporary(const std::string& target, mode_t mode);

    Status open_direct(const std::string& path);

    // Closes the descriptor and removes a temporary file not yet put in place.
    void discard();

    bool flush();

    bool write_all(std::string_view text);

    int fd_ = -1;
    int err_ = 0;
    std::string buf_;
    std::string scratch_;
    std::optional<std::string> deferred_path_;
    std::string temp_path_;  // set while a temporary file waits to replace `target_`
    std::string target_;
};

}  // namespace torva
