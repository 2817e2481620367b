#include "platform/coremediaio/CMIOSocketPaths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace velunto {

std::string CMIOSocketDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/')
        return std::string(runtime) + "/velunto/cmio";
    return "/tmp/velunto-" + std::to_string(::getuid()) + "/cmio";
}

namespace {

bool makeOwnedDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
        return false;
    if ((info.st_mode & 0777) != 0700 && ::chmod(path.c_str(), 0700) != 0)
        return false;
    return true;
}

}  // namespace

bool CMIOEnsureSocketDirectory(const std::string& directory) {
    const auto slash = directory.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return false;
    return makeOwnedDirectory(directory.substr(0, slash)) && makeOwnedDirectory(directory);
}

std::string CMIOSocketName(pid_t pid, unsigned index) {
    return std::to_string(pid) + (index == 0 ? "" : "-" + std::to_string(index)) + ".sock";
}

std::optional<pid_t> CMIOSocketOwner(const std::string& name) {
    if (name.empty() || name[0] == '.' || !name.ends_with(".sock"))
        return std::nullopt;
    std::size_t digits = 0;
    long pid = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9' && digits < 10)
        pid = pid * 10 + (name[digits++] - '0');
    if (digits == 0 || (name[digits] != '.' && name[digits] != '-') || pid <= 0)
        return std::nullopt;
    return static_cast<pid_t>(pid);
}

}  // namespace velunto
