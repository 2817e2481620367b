#include "platform/v4l2/V4L2InotifyWatcher.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/oslog/Logger.h"
#include "platform/v4l2/V4L2SystemDeviceIO.h"

namespace velunto {

V4L2InotifyWatcher::V4L2InotifyWatcher(std::string directory) : directory_(std::move(directory)) {}

V4L2InotifyWatcher::~V4L2InotifyWatcher() {
    stop();
}

bool V4L2InotifyWatcher::start(std::function<void()> changed) {
    std::lock_guard lock(mutex_);
    if (thread_.joinable())
        return true;
    static const Logger logger("app.velunto", "V4L2");
    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotifyFd < 0 || ::inotify_add_watch(inotifyFd, directory_.c_str(),
                                             IN_CREATE | IN_DELETE | IN_ATTRIB | IN_MOVED_FROM | IN_MOVED_TO) < 0) {
        logger.error("cannot watch %{public}s for cameras: %{public}s", directory_.c_str(), std::strerror(errno));
        if (inotifyFd >= 0)
            ::close(inotifyFd);
        return false;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(inotifyFd);
        return false;
    }
    inotifyFd_ = inotifyFd;
    wakeFd_ = wakeFd;
    thread_ = std::thread([this, inotifyFd, wakeFd, changed = std::move(changed)] { run(inotifyFd, wakeFd, changed); });
    return true;
}

void V4L2InotifyWatcher::stop() {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeFd_, &one, sizeof one);
    thread_.join();
    ::close(inotifyFd_);
    ::close(wakeFd_);
    inotifyFd_ = wakeFd_ = -1;
}

void V4L2InotifyWatcher::run(int inotifyFd, int wakeFd, std::function<void()> changed) {
    alignas(inotify_event) char events[4096];
    for (;;) {
        pollfd fds[2] = {{inotifyFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        bool relevant = false;
        for (;;) {
            const ssize_t length = ::read(inotifyFd, events, sizeof events);
            if (length <= 0)
                break;
            for (ssize_t offset = 0; offset < length;) {
                inotify_event event;
                std::memcpy(&event, events + offset, sizeof event);
                const char* name = events + offset + sizeof(inotify_event);
                if ((event.mask & IN_Q_OVERFLOW) || (event.len > 0 && V4L2SystemDeviceIO::videoNodeNumber(std::string(
                                                                          name, strnlen(name, event.len))) >= 0))
                    relevant = true;
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event.len);
            }
        }
        if (relevant)
            changed();
    }
}

}  // namespace velunto
