#include "platform/coremediaio/CMIOSocketDiscovery.h"

#include <dirent.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/coremediaio/CMIOClientRuntime.h"
#include "platform/coremediaio/CMIOSocketLink.h"
#include "platform/coremediaio/CMIOSocketPaths.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto.cmio", "Discovery");
    return instance;
}

}  // namespace

std::shared_ptr<CMIOSocketDiscovery> CMIOSocketDiscovery::start(CMIOClientRuntime& runtime) {
    auto discovery = std::shared_ptr<CMIOSocketDiscovery>(new CMIOSocketDiscovery(runtime));
    discovery->directory_ = CMIOSocketDirectory();
    if (!CMIOEnsureSocketDirectory(discovery->directory_)) {
        logger().error("cannot use the socket directory %{public}s", discovery->directory_);
        return discovery;
    }
    discovery->inotify_ = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    discovery->wakeup_ = ::eventfd(0, EFD_CLOEXEC);
    if (discovery->inotify_ >= 0 &&
        ::inotify_add_watch(discovery->inotify_, discovery->directory_.c_str(), IN_CREATE | IN_MOVED_TO) >= 0)
        discovery->thread_ = std::thread([raw = discovery.get()] { raw->watchLoop(); });
    discovery->rescan();
    return discovery;
}

CMIOSocketDiscovery::CMIOSocketDiscovery(CMIOClientRuntime& runtime) : runtime_(runtime) {}

CMIOSocketDiscovery::~CMIOSocketDiscovery() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wakeup_, &one, sizeof one);
        thread_.join();
    }
    if (inotify_ >= 0)
        ::close(inotify_);
    if (wakeup_ >= 0)
        ::close(wakeup_);
}

void CMIOSocketDiscovery::rescan() {
    std::vector<std::string> names;
    if (DIR* directory = ::opendir(directory_.c_str())) {
        while (const dirent* entry = ::readdir(directory))
            names.emplace_back(entry->d_name);
        ::closedir(directory);
    }
    for (const auto& name : names)
        reach(name);
}

void CMIOSocketDiscovery::reach(const std::string& name) {
    const auto owner = CMIOSocketOwner(name);
    if (!owner || *owner == ::getpid())
        return;
    {
        std::lock_guard lock(mutex_);
        auto it = links_.find(name);
        if (it != links_.end()) {
            auto link = it->second.lock();
            if (link && !link->isClosed())
                return;
            links_.erase(it);
        }
        if (!connecting_.insert(name).second)
            return;
    }
    const std::string path = directory_ + "/" + name;
    auto link = CMIOSocketLink::connect(path, runtime_);
    if (!link) {
        if (errno == ECONNREFUSED) {
            logger().info("removing the socket of a provider that is gone: %{public}s", path);
            ::unlink(path.c_str());
        }
    } else {
        runtime_.attachLink(link);
        runtime_.greet(link);
    }
    std::lock_guard lock(mutex_);
    connecting_.erase(name);
    if (link)
        links_[name] = link;
}

void CMIOSocketDiscovery::watchLoop() {
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{inotify_, POLLIN, 0}, {wakeup_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        const ssize_t length = ::read(inotify_, buffer, sizeof buffer);
        if (length <= 0)
            continue;
        std::vector<std::string> names;
        for (ssize_t offset = 0; offset < length;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
            if (event->len > 0)
                names.emplace_back(event->name);
            offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
        for (const auto& name : names)
            reach(name);
    }
}

}  // namespace velunto
