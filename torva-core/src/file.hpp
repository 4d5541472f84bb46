// The file layer of the readers and writers: the buffered line reader and
// the output file. Internal to the core.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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
    ~LineReader() {
        if (fd_ >= 0) ::close(fd_);
    }

    Status open(const std::string& path) {
        if (has_nul(path)) return os_error(EINVAL);
        do {
            fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return os_error(errno);
        // A directory opens fine on Linux but cannot be read; say so up front.
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return os_error(errno);
        if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
        device_ = st.st_dev;
        inode_ = st.st_ino;
        return {};
    }

    // Whether `path` names the file this reader has open.
    bool is_same_file(const std::string& path) const {
        struct stat st {};
        return fd_ >= 0 && ::stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
    }

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
    ~OutFile() { discard(); }

    // `path` may also be the file being read (`is_input`): a file written in
    // place is then held in memory and created only at `close`.
    Status create(const std::string& path, bool is_input = false) {
        if (has_nul(path)) return os_error(EINVAL);
        buf_.reserve(kWriteBufferSize);
        std::string target;
        mode_t keep_mode = 0;
        if (replace_target(path, target, keep_mode)) {
            const int err = open_temporary(target, keep_mode);
            if (err == 0) return {};
            // A directory we may not add to may still hold a file we may
            // write: that file is written in place.
            if (err != EACCES && err != EPERM) return os_error(err);
        }
        if (is_input) {
            deferred_path_ = path;
            return {};
        }
        return open_direct(path);
    }

    // Drops the output: a temporary file is removed, the old file stays; a
    // deferred output is never created. Only a file written in place keeps
    // what was written.
    void abandon() {
        deferred_path_.reset();
        buf_.clear();
        discard();
    }

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
    Status close() {
        if (deferred_path_) {
            std::string held = std::move(buf_);
            buf_.clear();
            const std::string path = std::move(*deferred_path_);
            deferred_path_.reset();
            if (Status s = open_direct(path); !s) return s;
            write_all(held);
        }
        flush();
        if (fd_ >= 0) {
            if (::close(fd_) != 0 && err_ == 0 && errno != EINTR) err_ = errno;
            fd_ = -1;
        }
        if (err_ == 0 && !temp_path_.empty()) {
            if (::rename(temp_path_.c_str(), target_.c_str()) != 0) err_ = errno;
            else temp_path_.clear();
        }
        if (err_ != 0) {
            discard();
            return os_error(err_);
        }
        return {};
    }

private:
    // Whether `path` can be replaced as a whole: it does not exist (but its
    // name is no dangling link), or it is a regular file with a single link.
    // `target` receives the file to replace (a symbolic link's target) and
    // `mode` the permission bits to keep (0 for a new file).
    static bool replace_target(const std::string& path, std::string& target, mode_t& mode) {
        // A name ending in '/' names no file; opening it reports why.
        if (path.empty() || path.back() == '/') return false;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            struct stat link {};
            if (errno != ENOENT || ::lstat(path.c_str(), &link) == 0) return false;
            target = path;
            mode = 0;
            return true;
        }
        // A file we may not write is not replaced either: opening it reports that.
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || ::access(path.c_str(), W_OK) != 0) return false;
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            char* resolved = ::realpath(path.c_str(), nullptr);
            if (resolved == nullptr) return false;
            target = resolved;
            std::free(resolved);
        } else {
            target = path;
        }
        mode = st.st_mode & 07777;
        return true;
    }

    // 0 or the error number.
    int open_temporary(const std::string& target, mode_t mode) {
        const std::size_t slash = target.rfind('/');
        const std::string dir = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 100; ++attempt) {
            const unsigned long tag = (static_cast<unsigned long>(::getpid()) << 20) ^
                                      (counter.fetch_add(1) * 2654435761UL) ^ static_cast<unsigned long>(attempt);
            char name[40];
            std::snprintf(name, sizeof name, ".torva-%012lx.tmp", tag & 0xFFFFFFFFFFFFUL);
            const std::string temp = dir + name;
            do {
                fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            } while (fd_ < 0 && errno == EINTR);
            if (fd_ < 0) {
                if (errno == EEXIST) continue;
                return errno;
            }
            temp_path_ = temp;
            target_ = target;
            if (mode != 0) (void)::fchmod(fd_, mode);
            return 0;
        }
        return EEXIST;
    }

    Status open_direct(const std::string& path) {
        do {
            fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) return os_error(errno);
        return {};
    }

    // Closes the descriptor and removes a temporary file not yet put in place.
    void discard() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
        if (!temp_path_.empty()) {
            ::unlink(temp_path_.c_str());
            temp_path_.clear();
        }
    }

    bool flush() {
        if (err_ != 0) return false;
        const bool ok = write_all(buf_);
        buf_.clear();
        return ok;
    }

    bool write_all(std::string_view text) {
        while (!text.empty()) {
            const ssize_t n = ::write(fd_, text.data(), text.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                err_ = errno;
                return false;
            }
            text.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }

    int fd_ = -1;
    int err_ = 0;
    std::string buf_;
    std::string scratch_;
    std::optional<std::string> deferred_path_;
    std::string temp_path_;  // set while a temporary file waits to replace `target_`
    std::string target_;
};

}  // namespace torva
