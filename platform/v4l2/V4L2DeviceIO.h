#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace velunto {

// The system calls the V4L2 code makes, so that a test can stand in for the kernel. Every call
// follows its libc namesake: failures return -1 (MAP_FAILED for mmap) and set errno.
class V4L2DeviceIO {
public:
    virtual ~V4L2DeviceIO() = default;

    // Video device nodes (/dev/video<N>), ordered by N.
    virtual std::vector<std::string> devicePaths() = 0;
    virtual int open(const std::string& path, int flags) = 0;
    virtual int close(int fd) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
    // May mix device descriptors with ordinary ones (an eventfd that wakes the caller).
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) = 0;
    virtual ssize_t write(int fd, const void* data, std::size_t size) = 0;

    // ioctl() retried while it fails with EINTR.
    int xioctl(int fd, unsigned long request, void* argument);

    // The real system calls, one shared instance.
    static std::shared_ptr<V4L2DeviceIO> system();
};

}  // namespace velunto
