#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velunto {

class CMIOExtensionProvider;
class CMIOSocketChannel;

// Publishes a provider to other processes: listens on a Unix socket in the socket directory (made
// ready under a hidden name, then renamed into place) and opens a channel for every client.
class CMIOSocketService {
public:
    // Nothing if the socket cannot be made (logged).
    static std::shared_ptr<CMIOSocketService> start(const std::shared_ptr<CMIOExtensionProvider>& provider);
    ~CMIOSocketService();

    // Unlinks the socket and closes every client's connection.
    void stop();
    const std::string& path() const { return path_; }
    std::vector<std::shared_ptr<CMIOSocketChannel>> channels() const;

private:
    CMIOSocketService(int listener, int wakeup, std::string path, std::weak_ptr<CMIOExtensionProvider> provider);
    void acceptLoop();

    const int listener_;
    const int wakeup_;  // eventfd: stop
    const std::string path_;
    const std::weak_ptr<CMIOExtensionProvider> provider_;
    std::thread thread_;
    std::atomic<bool> stopped_{false};
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<CMIOSocketChannel>> channels_;
};

}  // namespace velunto
