#include "platform/coremediaio/CMIOSocketService.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/coremediaio/CMIOExtensionProvider.h"
#include "platform/coremediaio/CMIOSocketChannel.h"
#include "platform/coremediaio/CMIOSocketPaths.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto.cmio", "Service");
    return instance;
}

std::atomic<unsigned> serviceCount{0};

}  // namespace

std::shared_ptr<CMIOSocketService> CMIOSocketService::start(const std::shared_ptr<CMIOExtensionProvider>& provider) {
    const std::string directory = CMIOSocketDirectory();
    if (!CMIOEnsureSocketDirectory(directory)) {
        logger().error("cannot use the socket directory %{public}s", directory);
        return nullptr;
    }
    const pid_t pid = ::getpid();
    const unsigned index = serviceCount.fetch_add(1);
    const std::string name = CMIOSocketName(pid, index);
    const std::string path = directory + "/" + name;
    const std::string hidden = directory + "/." + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() + 2 > sizeof address.sun_path) {
        logger().error("socket path too long: %{public}s", path);
        return nullptr;
    }
    std::memcpy(address.sun_path, hidden.c_str(), hidden.size() + 1);
    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return nullptr;
    ::unlink(hidden.c_str());
    if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener, 16) != 0 || ::rename(hidden.c_str(), path.c_str()) != 0) {
        logger().error("cannot listen on %{public}s: %{public}s", path, std::strerror(errno));
        ::close(listener);
        ::unlink(hidden.c_str());
        return nullptr;
    }
    const int wakeup = ::eventfd(0, EFD_CLOEXEC);
    auto service = std::shared_ptr<CMIOSocketService>(new CMIOSocketService(listener, wakeup, path, provider));
    service->thread_ = std::thread([raw = service.get()] { raw->acceptLoop(); });
    return service;
}

CMIOSocketService::CMIOSocketService(int listener, int wakeup, std::string path,
                                     std::weak_ptr<CMIOExtensionProvider> provider)
    : listener_(listener), wakeup_(wakeup), path_(std::move(path)), provider_(std::move(provider)) {}

CMIOSocketService::~CMIOSocketService() {
    stop();
    ::close(listener_);
    ::close(wakeup_);
}

void CMIOSocketService::stop() {
    if (stopped_.exchange(true))
        return;
    ::unlink(path_.c_str());
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
    for (const auto& channel : channels())
        channel->closeFromProvider();
}

std::vector<std::shared_ptr<CMIOSocketChannel>> CMIOSocketService::channels() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<CMIOSocketChannel>> alive;
    for (const auto& weak : channels_)
        if (auto channel = weak.lock())
            alive.push_back(std::move(channel));
    return alive;
}

void CMIOSocketService::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeup_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0 || stopped_.load())
            return;
        if ((fds[0].revents & POLLIN) == 0)
            continue;
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const auto provider = provider_.lock();
        if (!provider) {
            ::close(client);
            continue;
        }
        auto channel = CMIOSocketChannel::open(client, provider);
        std::lock_guard lock(mutex_);
        std::erase_if(channels_, [](const auto& weak) { return weak.expired(); });
        channels_.push_back(channel);
    }
}

}  // namespace velunto
