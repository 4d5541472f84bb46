#include "torva/io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace torva {

// ---------------------------------------------------------------------------
// Number formatting

namespace {

// Writes the special values; returns false for finite values.
bool format_special(double value, std::string& out) {
    if (std::isnan(value)) {
        out = "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out = value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

std::string format_fixed(double value, int decimals) {
    std::string out;
    if (format_special(value, out)) return out;
    if (decimals < 0) decimals = 0;
    // The largest double has 309 integer digits; sign, point and decimals come on top.
    out.resize(320 + static_cast<std::size_t>(decimals));
    auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value, std::chars_format::fixed, decimals);
    if (ec != std::errc{}) throw InternalError("format_fixed: buffer too small");
    out.resize(static_cast<std::size_t>(end - out.data()));
    return out;
}

std::string format_shortest(double value) {
    std::string out;
    if (format_special(value, out)) return out;
    // The fewest significant digits that read back to `value` (as the
    // scientific form gives them), written out without an exponent: beyond 17
    // digits an integral value continues with zeros, not with its exact digits.
    char sci[40];
    const auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
    if (ec != std::errc{}) throw InternalError("format_shortest: buffer too small");
    std::string_view text(sci, static_cast<std::size_t>(end - sci));
    if (text.front() == '-') {
        out.push_back('-');
        text.remove_prefix(1);
    }
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c != '.') digits.push_back(c);
    }
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);
    // The decimal point follows the first `point` digits.
    const long point = static_cast<long>(exponent) + 1;
    const auto n = static_cast<long>(digits.size());
    if (point <= 0) {
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits);
    } else if (point >= n) {
        out.append(digits);
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits, static_cast<std::size_t>(point));
    }
    return out;
}

// ---------------------------------------------------------------------------
// UTF-8

namespace {

void append_utf8(std::string& out, char32_t c) {
    auto u = static_cast<std::uint32_t>(c);
    if (u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) u = 0xFFFD;  // not a Unicode scalar
    if (u < 0x80) {
        out.push_back(static_cast<char>(u));
    } else if (u < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (u >> 6)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (u >> 12)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (u >> 18)));
        out.push_back(static_cast<char>(0x80 | ((u >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((u >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (u & 0x3F)));
    }
}

}  // namespace

std::string to_utf8(std::u32string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char32_t c : text) append_utf8(out, c);
    return out;
}

std::string to_utf8(char32_t c) {
    std::string out;
    append_utf8(out, c);
    return out;
}

// ---------------------------------------------------------------------------
// Domain record

Domain Domain::empty(std::string id, std::optional<char32_t> chain) {
    Domain d;
    d.id = std::move(id);
    d.chain = chain.value_or(U'A');
    return d;
}

Result<Domain> Domain::from_arrays(std::string id, std::span<const Point> coords, std::u32string_view sequence,
                                   std::optional<char32_t> chain) {
    if (coords.size() != sequence.size()) {
        return Error::invalid_parameter("Number of coordinates must match sequence length");
    }
    Domain d = empty(std::move(id), chain);
    d.residues.resize(coords.size());
    for (std::size_t i = 0; i < coords.size(); ++i) {
        Residue& r = d.residues[i];
        r.label = std::to_string(i + 1);
        r.coord = coords[i];
        r.amino_acid = sequence[i];
        r.index = static_cast<std::uint32_t>(i);
    }
    return d;
}

std::u32string Domain::sequence() const {
    std::u32string s;
    s.reserve(residues.size());
    for (const Residue& r : residues) s.push_back(r.amino_acid);
    return s;
}

std::u32string Domain::secondary_structure() const {
    std::u32string s;
    s.reserve(residues.size());
    for (const Residue& r : residues) s.push_back(r.secondary_structure);
    return s;
}

PointSet Domain::coordinates() const {
    PointSet p;
    p.reserve(residues.size());
    for (const Residue& r : residues) p.push_back(r.coord);
    return p;
}

void Domain::set_coordinates(std::span<const Point> points) {
    if (points.size() != residues.size()) {
        throw InternalError("set_coordinates: expected " + std::to_string(residues.size()) + " points, got " +
                            std::to_string(points.size()));
    }
    for (std::size_t i = 0; i < points.size(); ++i) residues[i].coord = points[i];
}

std::array<double, 3> Domain::ss_content() const {
    if (residues.empty()) return {0.0, 0.0, 0.0};
    std::size_t helix = 0, strand = 0, coil = 0;
    for (const Residue& r : residues) {
        switch (r.secondary_structure) {
            case U'G':
            case U'H':
            case U'I': ++helix; break;
            case U'B':
            case U'E': ++strand; break;
            default: ++coil; break;
        }
    }
    const auto n = static_cast<double>(residues.size());
    return {static_cast<double>(helix) / n, static_cast<double>(strand) / n, static_cast<double>(coil) / n};
}

// ---------------------------------------------------------------------------
// Text helpers

namespace {

constexpr std::size_t kReadBufferSize = 8192;
constexpr std::size_t kWriteBufferSize = 65536;

Error os_error(int err) { return Error::io(std::system_category().message(err)); }

// The system calls would stop reading a path at a NUL and open another file.
bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

Error invalid_utf8() { return Error::io("stream did not contain valid UTF-8"); }

bool is_blank_byte(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank_byte(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank_byte(s.back())) s.remove_suffix(1);
    return s;
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

enum class Utf8 { Valid, Incomplete, Invalid };

// Strict UTF-8 check (no overlong forms, surrogates or values past U+10FFFF).
// `valid_len` receives the length of the prefix made of complete sequences;
// Incomplete means the text ends inside a sequence that may still be valid.
Utf8 check_utf8(std::string_view s, std::size_t& valid_len, bool& ascii) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    ascii = true;
    while (i + 8 <= n) {
        std::uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL) break;
        i += 8;
    }
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        ascii = false;
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            valid_len = i;
            return Utf8::Invalid;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if (i + k >= n) {
                valid_len = i;
                return Utf8::Incomplete;
            }
            const unsigned char b = p[i + k];
            if (k == 1 ? (b < lo || b > hi) : !is_continuation(b)) {
                valid_len = i;
                return Utf8::Invalid;
            }
        }
        i += len;
    }
    valid_len = n;
    return Utf8::Valid;
}

// Decodes the scalar starting at s[i] of valid UTF-8 and advances i.
char32_t decode_at(std::string_view s, std::size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    std::uint32_t v = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < len && i + k < s.size(); ++k) {
        v = (v << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    }
    i += len;
    return static_cast<char32_t>(v);
}

// Lossy conversion of arbitrary bytes to UTF-8: every maximal invalid
// sequence becomes one U+FFFD.
std::string lossy_utf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    while (!s.empty()) {
        std::size_t valid = 0;
        bool ascii = true;
        const Utf8 r = check_utf8(s, valid, ascii);
        out.append(s.substr(0, valid));
        if (r == Utf8::Valid) break;
        s.remove_prefix(valid);
        // Skip the lead byte and the continuation bytes that were still acceptable.
        std::size_t skip = 1;
        const auto c = static_cast<unsigned char>(s[0]);
        if (c >= 0xC2 && c <= 0xF4) {
            const std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
            unsigned char lo = 0x80, hi = 0xBF;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
            while (skip < len && skip < s.size()) {
                const auto b = static_cast<unsigned char>(s[skip]);
                if (skip == 1 ? (b < lo || b > hi) : !is_continuation(b)) break;
                ++skip;
            }
        }
        out.append("\xEF\xBF\xBD");
        s.remove_prefix(skip);
    }
    return out;
}

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

// Buffered output file. A new file, or a regular file with no other hard
// link, is written to a temporary file beside it that replaces it only once
// everything was written, so a failed write leaves the old file (or none)
// rather than a truncated one; a replaced file keeps its permission bits. A new
// file gets mode 0666 (before the umask). Anything else (a device, a file with
// several links, a dangling symbolic link) is opened and truncated in place.
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
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) {
            struct stat link {};
            if (errno != ENOENT || ::lstat(path.c_str(), &link) == 0) return false;
            target = path;
            mode = 0;
            return true;
        }
        if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
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

// Signed 32-bit decimal integer with an optional sign, nothing else.
std::optional<std::int32_t> parse_int32(std::string_view s) {
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (s.empty() || s.front() == '-') return std::nullopt;
    }
    std::int32_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

// Whether the decimal text (already known to be well formed) is below 1 in
// magnitude, used to tell underflow from overflow.
bool decimal_below_one(std::string_view s) {
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) s.remove_prefix(1);
    std::size_t e = s.find_first_of("eE");
    std::int64_t exponent = 0;
    if (e != std::string_view::npos) {
        std::string_view es = s.substr(e + 1);
        bool neg = false;
        if (!es.empty() && (es.front() == '+' || es.front() == '-')) {
            neg = es.front() == '-';
            es.remove_prefix(1);
        }
        for (char c : es) {
            exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000);
        }
        if (neg) exponent = -exponent;
        s = s.substr(0, e);
    }
    // Decimal order of the first non-zero digit.
    const std::size_t point = s.find('.');
    const std::size_t int_digits = point == std::string_view::npos ? s.size() : point;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '.' || s[i] == '0') continue;
        const std::int64_t order =
            i < int_digits ? static_cast<std::int64_t>(int_digits - i) : -static_cast<std::int64_t>(i - int_digits - 1);
        return order + exponent <= 0;
    }
    return true;
}

// Decimal floating-point number: optional sign, digits with an optional point
// and exponent, or inf / infinity / nan (any case). No blanks, no hex.
std::optional<double> parse_double(std::string_view s) {
    bool plus = false;
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        plus = true;
    }
    if (s.empty() || (plus && s.front() == '-')) return std::nullopt;
    if (s.find('(') != std::string_view::npos) return std::nullopt;  // no nan(...) payloads
    double v = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (end != s.data() + s.size()) return std::nullopt;
    if (ec == std::errc::result_out_of_range) {
        const bool negative = s.front() == '-';
        const double magnitude = decimal_below_one(s) ? 0.0 : std::numeric_limits<double>::infinity();
        return negative ? -magnitude : magnitude;
    }
    if (ec != std::errc{}) return std::nullopt;
    return v;
}

void append_char(std::string& out, char32_t c) { append_utf8(out, c); }

// Appends `value` with 3 decimals, right-aligned in `width` characters.
void append_coordinate(std::string& out, double value, std::size_t width = 8) {
    char buf[340];
    std::size_t n;
    if (std::isnan(value)) {
        std::memcpy(buf, "NaN", 3);
        n = 3;
    } else if (std::isinf(value)) {
        n = value < 0 ? 4 : 3;
        std::memcpy(buf, value < 0 ? "-inf" : "inf", n);
    } else {
        const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
        if (ec != std::errc{}) throw InternalError("coordinate formatting overflowed its buffer");
        n = static_cast<std::size_t>(end - buf);
    }
    if (n < width) out.append(width - n, ' ');
    out.append(buf, n);
}

std::size_t char_count(std::string_view s) {
    std::size_t n = 0;
    for (char c : s) n += !is_continuation(static_cast<unsigned char>(c));
    return n;
}

// Residue numbers are the same when both parse as integers of equal value;
// when either is not an integer (hybrid-36 numbers, numbers carrying an
// insertion code) the texts are compared.
bool same_residue_number(std::string_view a, std::string_view b) {
    const auto ia = parse_int32(a);
    const auto ib = parse_int32(b);
    if (ia && ib) return *ia == *ib;
    return a == b;
}

}  // namespace

// ---------------------------------------------------------------------------
// Names

std::optional<std::string> file_stem(std::string_view path) {
    // Last component, ignoring empty and "." components as a path walk does.
    std::string_view name;
    std::size_t end = path.size();
    while (end > 0) {
        const std::size_t slash = path.rfind('/', end - 1);
        const std::size_t begin = slash == std::string_view::npos ? 0 : slash + 1;
        const std::string_view comp = path.substr(begin, end - begin);
        if (!comp.empty() && comp != ".") {
            name = comp;
            break;
        }
        if (slash == std::string_view::npos) break;
        end = slash;
    }
    if (name.empty() || name == "..") return std::nullopt;
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return std::string(name);
    return std::string(name.substr(0, dot));
}

char32_t one_letter_code(std::string_view residue_name) {
    const std::string_view t = trim(residue_name);
    if (t.empty() || t.size() > 3) return U'X';
    char n[3] = {0, 0, 0};
    for (std::size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        if (static_cast<unsigned char>(c) >= 0x80) return U'X';
        n[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    const std::string_view u(n, t.size());
    if (u.size() == 1) {
        switch (u[0]) {
            case 'A': return U'A';
            case 'C': return U'C';
            case 'G': return U'G';
            case 'T': return U'T';
            case 'U': return U'U';
            default: return U'X';
        }
    }
    if (u.size() == 2) {
        if (u == "DA") return U'A';
        if (u == "DC") return U'C';
        if (u == "DG") return U'G';
        if (u == "DT") return U'T';
        return U'X';
    }
    struct Entry {
        const char* name;
        char32_t code;
    };
    static constexpr Entry table[] = {
        {"ALA", U'A'}, {"ARG", U'R'}, {"ASN", U'N'}, {"ASP", U'D'}, {"CYS", U'C'}, {"GLN", U'Q'}, {"GLU", U'E'},
        {"GLY", U'G'}, {"HIS", U'H'}, {"ILE", U'I'}, {"LEU", U'L'}, {"LYS", U'K'}, {"MET", U'M'}, {"PHE", U'F'},
        {"PRO", U'P'}, {"SER", U'S'}, {"THR", U'T'}, {"TRP", U'W'}, {"TYR", U'Y'}, {"VAL", U'V'}, {"MSE", U'M'},
        {"SEC", U'U'}, {"PYL", U'O'}, {"ASX", U'B'}, {"GLX", U'Z'}, {"XLE", U'J'}, {"ADE", U'A'}, {"CYT", U'C'},
        {"GUA", U'G'}, {"THY", U'T'}, {"URA", U'U'},
    };
    for (const Entry& e : table) {
        if (u == e.name) return e.code;
    }
    return U'X';
}

std::string_view three_letter_code(char32_t one_letter) {
    static constexpr std::string_view names[26] = {"ALA", "ASX", "CYS", "ASP", "GLU", "PHE", "GLY", "HIS", "ILE",
                                                   "XLE", "LYS", "LEU", "MET", "ASN", "PYL", "PRO", "GLN", "ARG",
                                                   "SER", "THR", "SEC", "VAL", "TRP", "UNK", "TYR", "GLX"};
    char32_t c = one_letter;
    if (c >= U'a' && c <= U'z') c = c - U'a' + U'A';
    if (c >= U'A' && c <= U'Z') return names[c - U'A'];
    return "UNK";
}

// ---------------------------------------------------------------------------
// PDB reader

Result<Domain> read_pdb(const std::string& path, std::optional<char32_t> chain) {
    LineReader reader;
    if (Status s = reader.open(path); !s) return s.error();

    std::optional<char32_t> selected;
    if (chain && *chain != U'?') selected = chain;

    std::vector<Residue> residues;
    std::string last_number;  // trimmed number text of the last accepted residue
    char32_t last_insertion = U' ';
    char32_t last_chain = U' ';

    Line line;
    for (;;) {
        const auto next = reader.next(line);
        if (next == LineReader::Next::Failed) return reader.error();
        if (next == LineReader::Next::End) break;
        if (line.size() < 4) continue;
        if (line.size() >= 6 && (line.starts_with("ENDMDL") || line.starts_with("END   "))) {
            if (!residues.empty()) break;
            continue;
        }
        if (!line.starts_with("ATOM") || line.size() < 54 || line.text.substr(12, 4) != " CA ") continue;

        const char32_t c = line.char_at(22).value_or(U' ');
        if (!selected) selected = c;
        if (c != *selected) continue;

        const char32_t alt = line.char_at(17).value_or(U' ');
        if (alt != U' ' && alt != U'A' && alt != U'1' && alt != U'L' && alt != U'O') continue;

        const std::string_view number = trim(line.bytes(23, 26).value_or("0"));
        const char32_t insertion = line.char_at(27).value_or(U' ');
        if (!residues.empty() && c == last_chain && insertion == last_insertion &&
            same_residue_number(number, last_number)) {
            continue;
        }

        double xyz[3];
        static constexpr const char* axis_names[3] = {"X", "Y", "Z"};
        for (std::size_t k = 0; k < 3; ++k) {
            const std::string_view field = trim(line.bytes(31 + 8 * k, 38 + 8 * k).value_or("0.0"));
            const auto v = parse_double(field);
            if (!v) {
                return Error::pdb_parse(std::string("Invalid ") + axis_names[k] + " coordinate in line: " +
                                        std::string(line.text));
            }
            xyz[k] = *v;
        }

        Residue& r = residues.emplace_back();
        r.label.assign(number);
        if (insertion != U' ') append_char(r.label, insertion);
        r.coord = {xyz[0], xyz[1], xyz[2]};
        r.amino_acid = one_letter_code(line.bytes(18, 20).value_or("UNK"));
        r.index = static_cast<std::uint32_t>(residues.size() - 1);

        last_number.assign(number);
        last_insertion = insertion;
        last_chain = c;
    }

    if (residues.empty()) {
        return Error::pdb_parse("No C-alpha atoms found in chain '" + (selected ? to_utf8(*selected) : "_") +
                                "' of " + lossy_utf8(path));
    }
    Domain d;
    const auto stem = file_stem(path);
    d.id = stem ? lossy_utf8(*stem) : "unknown";
    d.pdb_file = lossy_utf8(path);
    d.residues = std::move(residues);
    d.chain = *selected;
    return d;
}

// ---------------------------------------------------------------------------
// DSSP reader

Status apply_dssp(Domain& domain, const std::string& path) {
    LineReader reader;
    if (Status s = reader.open(path); !s) return s;

    struct Entry {
        std::string label;
        char32_t code;
        double accessibility;
    };
    std::vector<Entry> entries;
    bool in_residues = false;

    Line line;
    for (;;) {
        const auto next = reader.next(line);
        if (next == LineReader::Next::Failed) return reader.error();
        if (next == LineReader::Next::End) break;
        if (!in_residues) {
            if (line.text.find("  #  RESIDUE") != std::string_view::npos) in_residues = true;
            continue;
        }
        if (line.size() <= 16) continue;
        if (line.char_at(14) == U'!') continue;
        const auto c = line.char_at(12);
        if (domain.chain != U'_' && c && *c != U' ' && *c != domain.chain) continue;

        Entry& e = entries.emplace_back();
        e.label.assign(trim(line.bytes(6, 10).value_or("")));
        if (const char32_t ins = line.char_at(11).value_or(U' '); ins != U' ') append_char(e.label, ins);
        switch (line.char_at(17).value_or(U'C')) {
            case U'H':
            case U'G':
            case U'I': e.code = U'H'; break;
            case U'E':
            case U'B': e.code = U'E'; break;
            default: e.code = U'C'; break;
        }
        e.accessibility = parse_double(trim(line.bytes(35, 38).value_or("0"))).value_or(0.0);
    }

    // The whole file has been read: only now is the record changed.
    for (const Entry& e : entries) {
        for (Residue& r : domain.residues) {
            if (r.label.size() == e.label.size() && r.label == e.label) {
                r.secondary_structure = e.code;
                r.accessibility = e.accessibility;
                break;
            }
        }
    }
    domain.has_dssp = true;
    return {};
}

// ---------------------------------------------------------------------------
// PDB writers

Status write_ca_pdb(const Domain& domain, const std::string& path, const std::optional<Transform>& transform) {
    OutFile out;
    if (Status s = out.create(path); !s) return s;

    std::string& l = out.scratch();
    l.assign("REMARK   Generated by Torvaline\nREMARK   Domain: ");
    l.append(domain.id);
    l.push_back('\n');
    out.write(l);

    char serial[24];
    for (std::size_t i = 0; i < domain.residues.size(); ++i) {
        const Residue& r = domain.residues[i];
        const Point p = transform ? transform->apply(r.coord) : r.coord;
        l.assign("ATOM  ");
        const auto [end, ec] = std::to_chars(serial, serial + sizeof serial, i + 1);
        const auto digits = static_cast<std::size_t>(end - serial);
        if (digits < 5) l.append(5 - digits, ' ');
        l.append(serial, digits);
        l.append("  CA  ");
        l.append(three_letter_code(r.amino_acid));
        l.push_back(' ');
        append_char(l, domain.chain == U' ' ? U'_' : domain.chain);
        l.append(r.label);
        if (const std::size_t n = char_count(r.label); n < 4) l.append(4 - n, ' ');
        l.append("    ");
        append_coordinate(l, p[0]);
        append_coordinate(l, p[1]);
        append_coordinate(l, p[2]);
        l.append("  1.00  0.00           C\n");
        if (!out.write(l)) break;
    }
    out.write("END\n");
    return out.close();
}

Status transform_pdb_file(const std::string& input_path, const std::string& output_path, const Transform& transform,
                          std::optional<char32_t> chain) {
    LineReader reader;
    if (Status s = reader.open(input_path); !s) return s;
    OutFile out;
    // Writing a file onto itself: it must not be truncated before it was read.
    const bool in_place = reader.is_same_file(output_path);
    if (Status s = out.create(output_path, in_place); !s) return s;

    bool past_first_model = false;
    std::string& l = out.scratch();
    Line line;
    for (;;) {
        const auto next = reader.next(line);
        if (next == LineReader::Next::Failed) {
            if (in_place) {
                out.abandon();  // the input stays as it was
            } else {
                (void)out.close();  // keep what was read up to the failure
            }
            return reader.error();
        }
        if (next == LineReader::Next::End) break;

        const bool atom = line.starts_with("ATOM") || line.starts_with("HETATM");
        if (line.size() >= 6 && line.starts_with("ENDMDL")) {
            past_first_model = true;
        } else if (atom && past_first_model) {
            continue;
        } else if (atom && line.size() >= 54 && (!chain || line.char_at(22).value_or(U' ') == *chain) &&
                   line.boundary(30) && line.boundary(54)) {
            Point p;
            for (std::size_t k = 0; k < 3; ++k) {
                const auto field = line.bytes(31 + 8 * k, 38 + 8 * k);
                p[k] = field ? parse_double(trim(*field)).value_or(0.0) : 0.0;
            }
            p = transform.apply(p);
            l.assign(line.text.substr(0, 30));
            append_coordinate(l, p[0]);
            append_coordinate(l, p[1]);
            append_coordinate(l, p[2]);
            l.append(line.text.substr(54));
            l.push_back('\n');
            if (!out.write(l)) break;
            continue;
        }
        // Copied unchanged.
        if (!out.write(line.text) || !out.write("\n")) break;
    }
    return out.close();
}

Status to_pdb(const Domain& domain, const std::string& path, const std::optional<Transform>& transform, bool full) {
    if (full && !domain.pdb_file.empty()) {
        return transform_pdb_file(domain.pdb_file, path, transform.value_or(Transform::identity()), domain.chain);
    }
    return write_ca_pdb(domain, path, transform);
}

Result<void, std::string> create_directories(const std::string& dir) {
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty()) return {};

    auto is_dir = [](const std::string& p) {
        struct stat st {};
        return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    };
    auto message = [](int err) { return std::system_category().message(err); };
    if (has_nul(path)) return message(EINVAL);

    if (::mkdir(path.c_str(), 0777) == 0) return {};
    int err = errno;
    if (err == EEXIST) {
        if (is_dir(path)) return {};
        return message(err);
    }
    if (err != ENOENT) return message(err);

    // Create the missing parent, then this directory.
    const std::size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        if (auto parent = create_directories(path.substr(0, slash)); !parent) return parent;
    } else if (slash == std::string::npos) {
        return message(err);
    }
    if (::mkdir(path.c_str(), 0777) == 0) return {};
    err = errno;
    if (err == EEXIST && is_dir(path)) return {};  // made meanwhile by someone else
    return message(err);
}

std::string aligned_output_path(const std::string& output_dir, const std::optional<std::string>& prefix,
                                const std::string& source_path, std::size_t k) {
    const auto stem = file_stem(source_path);
    const std::string name = prefix.value_or("aligned_") + (stem ? *stem : "domain" + std::to_string(k)) + ".pdb";
    if (name.starts_with('/') || output_dir.empty()) return name;
    std::string out_path = output_dir;
    if (!out_path.ends_with('/')) out_path.push_back('/');
    return out_path + name;
}

Result<void, AlignedWriteError> check_aligned_outputs(const std::string& output_dir,
                                                      const std::optional<std::string>& prefix,
                                                      std::span<const std::string> source_paths) {
    std::vector<std::pair<std::string, std::size_t>> outputs;
    outputs.reserve(source_paths.size());
    for (std::size_t k = 0; k < source_paths.size(); ++k) {
        if (source_paths[k].empty()) continue;  // reported when its turn comes
        outputs.emplace_back(aligned_output_path(output_dir, prefix, source_paths[k], k), k);
    }
    // Sorted by path, then by position: the first clash in path order, named
    // with its two earliest sources.
    std::sort(outputs.begin(), outputs.end());
    for (std::size_t m = 1; m < outputs.size(); ++m) {
        if (outputs[m].first != outputs[m - 1].first) continue;
        return AlignedWriteError{AlignedWriteError::Cause::DuplicateOutput,
                                 "Output path " + lossy_utf8(outputs[m].first) + " would be written for both " +
                                     lossy_utf8(source_paths[outputs[m - 1].second]) + " and " +
                                     lossy_utf8(source_paths[outputs[m].second])};
    }
    return {};
}

Result<std::vector<std::string>, AlignedWriteError> write_aligned_pdbs(
    const std::string& output_dir, const std::optional<std::string>& prefix, std::span<const Transform> transforms,
    std::span<const Transform> pre_transforms, std::span<const std::string> source_paths, const Cancel& cancel) {
    using Cause = AlignedWriteError::Cause;
    const std::size_t n = std::min({transforms.size(), pre_transforms.size(), source_paths.size()});
    if (auto made = create_directories(output_dir); !made) {
        return AlignedWriteError{Cause::CreateDirectory, "Failed to create output directory: " + made.error()};
    }
    if (auto distinct = check_aligned_outputs(output_dir, prefix, source_paths.first(n)); !distinct) {
        return distinct.error();
    }
    std::vector<std::string> written;
    written.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        if (cancel.requested()) return AlignedWriteError{Cause::Cancelled, Error::cancelled().message};
        const std::string& source = source_paths[k];
        if (source.empty()) {
            return AlignedWriteError{Cause::NoSourceFile, "No source PDB file for domain " + std::to_string(k)};
        }
        const Transform full = transforms[k].compose(pre_transforms[k]);
        const std::string out_path = aligned_output_path(output_dir, prefix, source, k);
        if (Status s = transform_pdb_file(source, out_path, full); !s) {
            return AlignedWriteError{Cause::Write,
                                     "Failed to write " + lossy_utf8(out_path) + ": " + s.error().message};
        }
        written.push_back(lossy_utf8(out_path));
    }
    return written;
}

}  // namespace torva
