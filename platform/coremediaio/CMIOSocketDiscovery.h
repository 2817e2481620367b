#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace velunto {

class CMIOClientRuntime;
class CMIOSocketLink;

// Finds provider processes for the client side: watches the socket directory (inotify) and connects
// to every provider socket that appears, except this process's own. A socket nobody listens on any
// more is unlinked.
class CMIOSocketDiscovery : public std::enable_shared_from_this<CMIOSocketDiscovery> {
public:
    static std::shared_ptr<CMIOSocketDiscovery> start(CMIOClientRuntime& runtime);
    ~CMIOSocketDiscovery();

    // Connects to sockets not reached yet; returns when each has answered (or failed).
    void rescan();

private:
    explicit CMIOSocketDiscovery(CMIOClientRuntime& runtime);
    void watchLoop();
    void reach(const std::string& name);

    CMIOClientRuntime& runtime_;
    std::string directory_;
    int inotify_ = -1;
    int wakeup_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::map<std::string, std::weak_ptr<CMIOSocketLink>> links_;  // by socket name
    std::set<std::string> connecting_;
};

}  // namespace velunto
