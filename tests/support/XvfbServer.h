#pragma once

// A private X server (Xvfb) for tests: on a display it picks itself, reported through -displayfd once it
// accepts connections; gone with the object (or the test process). -noreset: without it the server resets
// whenever its last client leaves and refuses connections meanwhile.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <sstream>
#include <string>

namespace velunto {

class XvfbServer {
public:
    static std::optional<std::string> find() {
        const char* path = std::getenv("PATH");
        std::istringstream directories(path != nullptr ? path : "/usr/bin");
        for (std::string directory; std::getline(directories, directory, ':');) {
            const std::string candidate = directory + "/Xvfb";
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        return std::nullopt;
    }

    // `screen`: "<width>x<height>x<depth>". running() is false if the server did not come up.
    XvfbServer(const std::string& xvfb, const std::string& screen) {
        int fds[2];
        if (::pipe(fds) != 0)
            return;
        ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
        const std::string fd = std::to_string(fds[1]);
        const char* arguments[] = {xvfb.c_str(), "-displayfd", fd.c_str(), "-nolisten",    "tcp",
                                   "-noreset",   "-screen",    "0",        screen.c_str(), nullptr};
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // no stray server when a test ends the process
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDERR_FILENO);
            ::dup2(null, STDOUT_FILENO);
            ::execv(arguments[0], const_cast<char* const*>(arguments));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string number;
        pollfd ready{fds[0], POLLIN, 0};
        for (char c = 0; pid_ > 0 && ::poll(&ready, 1, 30'000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n';)
            number += c;
        ::close(fds[0]);
        if (number.empty()) {
            stop();
            return;
        }
        display_ = ":" + number;
    }
    ~XvfbServer() { stop(); }
    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    bool running() const { return pid_ > 0 && !display_.empty(); }
    const std::string& display() const { return display_; }

    void stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::string display_;
};

}  // namespace velunto
