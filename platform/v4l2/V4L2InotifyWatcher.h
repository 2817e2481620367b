#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "platform/v4l2/V4L2DeviceWatcher.h"

namespace velunto {

// Watches a directory (/dev) with inotify for video<N> nodes being created, removed or having their
// permissions changed (udev sets them just after creating the node). One thread blocked in poll(),
// woken by an eventfd to stop.
class V4L2InotifyWatcher : public V4L2DeviceWatcher {
public:
    explicit V4L2InotifyWatcher(std::string directory = "/dev");
    ~V4L2InotifyWatcher() override;
    V4L2InotifyWatcher(const V4L2InotifyWatcher&) = delete;
    V4L2InotifyWatcher& operator=(const V4L2InotifyWatcher&) = delete;

    bool start(std::function<void()> changed) override;
    void stop() override;

private:
    void run(int inotifyFd, int wakeFd, std::function<void()> changed);

    const std::string directory_;
    std::mutex mutex_;
    std::thread thread_;
    int inotifyFd_ = -1;
    int wakeFd_ = -1;
};

}  // namespace velunto
