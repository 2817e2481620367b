#include "platform/v4l2/V4L2SystemDeviceIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace velunto {

int V4L2DeviceIO::xioctl(int fd, unsigned long request, void* argument) {
    int result;
    do
        result = ioctl(fd, request, argument);
    while (result == -1 && errno == EINTR);
    return result;
}

std::shared_ptr<V4L2DeviceIO> V4L2DeviceIO::system() {
    static const auto instance = std::make_shared<V4L2SystemDeviceIO>();
    return instance;
}

V4L2SystemDeviceIO::V4L2SystemDeviceIO(std::string directory) : directory_(std::move(directory)) {}

int V4L2SystemDeviceIO::videoNodeNumber(const std::string& name) {
    constexpr std::string_view prefix = "video";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    int number = 0;
    for (std::size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return -1;
        number = number * 10 + (name[i] - '0');
    }
    return number;
}

std::vector<std::string> V4L2SystemDeviceIO::devicePaths() {
    std::vector<std::pair<int, std::string>> found;
    if (DIR* dir = ::opendir(directory_.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (const int number = videoNodeNumber(name); number >= 0)
                found.emplace_back(number, directory_ + "/" + name);
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& [number, path] : found)
        paths.push_back(std::move(path));
    return paths;
}

int V4L2SystemDeviceIO::open(const std::string& path, int flags) {
    return ::open(path.c_str(), flags | O_CLOEXEC);
}

int V4L2SystemDeviceIO::close(int fd) {
    return ::close(fd);
}

int V4L2SystemDeviceIO::ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

void* V4L2SystemDeviceIO::mmap(std::size_t length, int protection, int flags, int fd, off_t offset) {
    return ::mmap(nullptr, length, protection, flags, fd, offset);
}

int V4L2SystemDeviceIO::munmap(void* address, std::size_t length) {
    return ::munmap(address, length);
}

int V4L2SystemDeviceIO::poll(pollfd* fds, nfds_t count, int timeoutMilliseconds) {
    return ::poll(fds, count, timeoutMilliseconds);
}

ssize_t V4L2SystemDeviceIO::write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

}  // namespace velunto
