// Directory creation.
#include <sys/stat.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "file.hpp"
#include "torva/io.hpp"

namespace torva {

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
