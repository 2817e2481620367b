#pragma once

#include <string>

#include "platform/v4l2/V4L2DeviceIO.h"

namespace velunto {

// V4L2DeviceIO over libc, with the device nodes listed from a directory (/dev normally).
class V4L2SystemDeviceIO : public V4L2DeviceIO {
public:
    explicit V4L2SystemDeviceIO(std::string directory = "/dev");

    std::vector<std::string> devicePaths() override;
    int open(const std::string& path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
    int munmap(void* address, std::size_t length) override;
    int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) override;
    ssize_t write(int fd, const void* data, std::size_t size) override;

    // "video12" → 12; -1 for any other name.
    static int videoNodeNumber(const std::string& name);

private:
    const std::string directory_;
};

}  // namespace velunto
