#include "platform/appkit/NSWorkspace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>

namespace velunto {

namespace {

// Double fork: the opener runs in its own session as a grandchild that init reaps; only the short-lived
// child is waited for. Between fork and exec only async-signal-safe calls.
bool startDetached(const std::filesystem::path& program, const std::string& argument) {
    std::string path = program.string();
    std::string text = argument;
    char* arguments[] = {path.data(), text.data(), nullptr};
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        ::execv(arguments[0], arguments);
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

NSWorkspace::NSWorkspace() : logger_("app.velunto", "Workspace") {}

NSWorkspace& NSWorkspace::sharedWorkspace() {
    static auto* workspace = new NSWorkspace();
    return *workspace;
}

void NSWorkspace::setOpener(std::function<bool(const NSURL&)> opener) {
    std::lock_guard lock(mutex_);
    opener_ = std::move(opener);
}

bool NSWorkspace::openURL(const NSURL& url) {
    std::function<bool(const NSURL&)> opener;
    {
        std::lock_guard lock(mutex_);
        opener = opener_;
    }
    if (opener)
        return opener(url);
    const auto xdgOpen = findOnPath("xdg-open");
    if (!xdgOpen) {
        logger_.info("%{public}s kann nicht geöffnet werden: xdg-open ist nicht installiert.", url.absoluteString());
        return false;
    }
    if (!startDetached(*xdgOpen, url.absoluteString())) {
        logger_.error("%{public}s kann nicht geöffnet werden: xdg-open ließ sich nicht starten.", url.absoluteString());
        return false;
    }
    return true;
}

std::optional<std::filesystem::path> NSWorkspace::findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr)
        return std::nullopt;
    std::istringstream directories(path);
    for (std::string directory; std::getline(directories, directory, ':');) {
        if (directory.empty())
            continue;
        const std::filesystem::path candidate = std::filesystem::path(directory) / name;
        struct stat info {};
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

}  // namespace velunto
