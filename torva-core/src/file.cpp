// The file layer: the line reader's and the output file's system calls, and
// directory creation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <system_error>

#include "file.hpp"
#include "torva/io.hpp"

namespace torva {

LineReader::~LineReader() {
    if (fd_ >= 0) ::close(fd_);
}

Status LineReader::open(const std::string& path) {
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

bool LineReader::is_same_file(const std::string& path) const {
    struct stat st {};
    return fd_ >= 0 && ::stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_;
}

OutFile::~OutFile() { discard(); }

Status OutFile::create(const std::string& path, bool is_input) {
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

void OutFile::abandon() {
    deferred_path_.reset();
    buf_.clear();
    discard();
}

Status OutFile::close() {
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

bool OutFile::replace_target(const std::string& path, std::string& target, mode_t& mode) {
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

int OutFile::open_temporary(const std::string& target, mode_t mode) {
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

Status OutFile::open_direct(const std::string& path) {
    do {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return os_error(errno);
    return {};
}

void OutFile::discard() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
        temp_path_.clear();
    }
}

bool OutFile::flush() {
    if (err_ != 0) return false;
    const bool ok = write_all(buf_);
    buf_.clear();
    return ok;
}

bool OutFile::write_all(std::string_view text) {
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

}  // namespace torva
