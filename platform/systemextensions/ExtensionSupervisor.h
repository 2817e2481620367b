#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSourceTimer.h"
#include "platform/oslog/Logger.h"
#include "platform/systemextensions/ExtensionStateStore.h"
#include "platform/systemextensions/OSSystemExtensionRequest.h"

namespace velunto {

class OSSystemExtensionManager;

// Where an extension comes from: its program and bundle version.
struct ExtensionLocation {
    std::string programPath;
    std::string bundleVersion;
};

struct ExtensionRestartPolicy {
    std::chrono::milliseconds firstRestartDelay{250};  // doubled for every restart within the last minute
    std::chrono::milliseconds maxRestartDelay{8000};
    int maxRestartsPerMinute = 5;                      // then the extension is given up
    std::chrono::milliseconds terminationGrace{3000};  // SIGTERM, then SIGKILL after this
    std::chrono::milliseconds pollInterval{200};       // how often supervised instances are checked
};

// Carries out requests on Linux: an activated extension's program runs detached (its own session,
// output to a log file next to its state file), is recorded in an ExtensionStateStore, and is started
// again whenever it exits while this process lives. All work runs on the supervisor's own queue.
class ExtensionSupervisor {
public:
    explicit ExtensionSupervisor(OSSystemExtensionManager& manager,
                                 const ExtensionRestartPolicy& policy = ExtensionRestartPolicy{});
    ~ExtensionSupervisor();
    ExtensionSupervisor(const ExtensionSupervisor&) = delete;
    ExtensionSupervisor& operator=(const ExtensionSupervisor&) = delete;

    void activate(std::shared_ptr<OSSystemExtensionRequest> request, std::optional<ExtensionLocation> location);
    void deactivate(std::shared_ptr<OSSystemExtensionRequest> request);
    void setRestartPolicy(const ExtensionRestartPolicy& policy);
    // Identifiers this process keeps running.
    std::vector<std::string> supervisedIdentifiers() const;

private:
    struct Instance {
        ExtensionInstanceRecord record;
        std::filesystem::path directory;
        bool ownChild = false;  // reaped with waitpid; otherwise watched through /proc
        bool restartPending = false;
        std::deque<DispatchTime> restarts;  // within the last minute
        std::uint64_t generation = 0;
    };

    void runActivation(const std::shared_ptr<OSSystemExtensionRequest>& request,
                       const std::optional<ExtensionLocation>& location);
    void finishReplacement(const std::shared_ptr<OSSystemExtensionRequest>& request, const ExtensionLocation& location,
                           OSSystemExtensionReplacementAction action);
    void runDeactivation(const std::shared_ptr<OSSystemExtensionRequest>& request);
    // Starts, records and supervises a new instance; false with `failure` set when it cannot start.
    bool start(const std::string& identifier, const ExtensionLocation& location, const ExtensionStateStore& store,
               std::string& failure);
    std::optional<pid_t> spawn(const std::string& identifier, const std::string& program,
                               const ExtensionStateStore& store, std::string& failure);
    void stop(const ExtensionInstanceRecord& record, bool ownChild);
    void watch(const ExtensionInstanceRecord& record, const std::filesystem::path& directory, bool ownChild);
    void poll();
    void scheduleRestart(const std::string& identifier);
    void restart(const std::string& identifier, std::uint64_t generation);
    void updateTimer();

    OSSystemExtensionManager& manager_;
    DispatchQueue queue_;
    Logger logger_;
    ExtensionRestartPolicy policy_;
    std::map<std::string, Instance> instances_;
    std::shared_ptr<DispatchSourceTimer> timer_;
    std::uint64_t nextGeneration_ = 1;
};

}  // namespace velunto
