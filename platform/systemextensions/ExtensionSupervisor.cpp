#include "platform/systemextensions/ExtensionSupervisor.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/systemextensions/OSSystemExtensionManager.h"
#include "platform/systemextensions/OSSystemExtensionRequest.h"

extern char** environ;

namespace velunto {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Serialises decisions about one identifier between processes (flock on its lock file).
class FileLock {
public:
    explicit FileLock(const fs::path& path) {
        std::error_code error;
        fs::create_directories(path.parent_path(), error);
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ >= 0)
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
    }
    ~FileLock() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_ = -1;
};

OSSystemExtensionProperties propertiesOf(const std::string& identifier, const std::string& version) {
    return OSSystemExtensionProperties{identifier, version, version};
}

std::string exitText(int status) {
    if (WIFEXITED(status))
        return "Status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("Signal ") + ::strsignal(WTERMSIG(status));
    return "unbekannter Grund";
}

}  // namespace

ExtensionSupervisor::ExtensionSupervisor(OSSystemExtensionManager& manager, const ExtensionRestartPolicy& policy)
    : manager_(manager),
      queue_("app.velunto.sysext.supervisor"),
      logger_("app.velunto.sysext", "Supervisor"),
      policy_(policy) {}

ExtensionSupervisor::~ExtensionSupervisor() {
    queue_.sync([this] {
        instances_.clear();
        updateTimer();
    });
}

void ExtensionSupervisor::activate(std::shared_ptr<OSSystemExtensionRequest> request,
                                   std::optional<ExtensionLocation> location) {
    queue_.async(
        [this, request = std::move(request), location = std::move(location)] { runActivation(request, location); });
}

void ExtensionSupervisor::deactivate(std::shared_ptr<OSSystemExtensionRequest> request) {
    queue_.async([this, request = std::move(request)] { runDeactivation(request); });
}

void ExtensionSupervisor::setRestartPolicy(const ExtensionRestartPolicy& policy) {
    queue_.async([this, policy] {
        policy_ = policy;
        if (timer_)
            timer_->schedule(DispatchTime::now() + policy_.pollInterval, policy_.pollInterval);
    });
}

std::vector<std::string> ExtensionSupervisor::supervisedIdentifiers() const {
    return queue_.sync([this] {
        std::vector<std::string> identifiers;
        for (const auto& entry : instances_)
            identifiers.push_back(entry.first);
        return identifiers;
    });
}

void ExtensionSupervisor::runActivation(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                        const std::optional<ExtensionLocation>& location) {
    const std::string& identifier = request->identifier();
    if (!location || !ExtensionStateStore::isValidIdentifier(identifier)) {
        manager_.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorExtensionNotFound,
                                               "Erweiterung " + identifier + " nicht gefunden."});
        return;
    }
    struct stat info {};
    if (::stat(location->programPath.c_str(), &info) != 0) {
        manager_.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorExtensionNotFound,
                                               "Programm " + location->programPath + " der Erweiterung " + identifier +
                                                   " nicht gefunden."});
        return;
    }
    if (!S_ISREG(info.st_mode) || ::access(location->programPath.c_str(), X_OK) != 0) {
        manager_.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorValidationFailed,
                                               "Programm " + location->programPath + " der Erweiterung " + identifier +
                                                   " ist nicht ausführbar."});
        return;
    }

    const ExtensionStateStore store;
    std::optional<ExtensionInstanceRecord> running;
    {
        FileLock lock(store.lockPath(identifier));
        running = store.readLive(identifier);
        if (!running) {
            std::string failure;
            if (start(identifier, *location, store, failure))
                manager_.deliverResult(request, OSSystemExtensionRequestResultCompleted);
            else
                manager_.deliverError(request,
                                      NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorUnknown, failure});
            return;
        }
        if (running->bundleVersion == location->bundleVersion) {
            const auto known = instances_.find(identifier);
            const bool ownChild =
                known != instances_.end() && known->second.ownChild && known->second.record.pid == running->pid;
            if (!ownChild)
                watch(*running, store.directory(), false);
            manager_.deliverResult(request, OSSystemExtensionRequestResultCompleted);
            return;
        }
    }
    logger_.notice("Erweiterung %{public}s läuft in Version %{public}s, angefragt ist %{public}s.", identifier,
                   running->bundleVersion, location->bundleVersion);
    manager_.askReplacement(
        request, propertiesOf(identifier, running->bundleVersion), propertiesOf(identifier, location->bundleVersion),
        [this, request, location = *location](OSSystemExtensionReplacementAction action) {
            queue_.async([this, request, location, action] { finishReplacement(request, location, action); });
        });
}

void ExtensionSupervisor::finishReplacement(const std::shared_ptr<OSSystemExtensionRequest>& request,
                                            const ExtensionLocation& location,
                                            OSSystemExtensionReplacementAction action) {
    const std::string& identifier = request->identifier();
    if (action != OSSystemExtensionReplacementActionReplace) {
        logger_.notice("Ersetzen der Erweiterung %{public}s abgelehnt.", identifier);
        manager_.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorRequestCanceled,
                                               "Aktivierung der Erweiterung " + identifier + " abgebrochen."});
        return;
    }
    const ExtensionStateStore store;
    FileLock lock(store.lockPath(identifier));
    if (const auto running = store.readLive(identifier)) {
        const auto known = instances_.find(identifier);
        const bool ownChild =
            known != instances_.end() && known->second.ownChild && known->second.record.pid == running->pid;
        instances_.erase(identifier);
        stop(*running, ownChild);
        store.remove(identifier);
    }
    std::string failure;
    if (start(identifier, location, store, failure))
        manager_.deliverResult(request, OSSystemExtensionRequestResultCompleted);
    else
        manager_.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorUnknown, failure});
}

void ExtensionSupervisor::runDeactivation(const std::shared_ptr<OSSystemExtensionRequest>& request) {
    const std::string& identifier = request->identifier();
    if (!ExtensionStateStore::isValidIdentifier(identifier)) {
        manager_.deliverError(request, NSError{OSSystemExtensionErrorDomain, OSSystemExtensionErrorExtensionNotFound,
                                               "Erweiterung " + identifier + " nicht gefunden."});
        return;
    }
    const auto known = instances_.find(identifier);
    std::optional<pid_t> ownPid;
    if (known != instances_.end() && known->second.ownChild)
        ownPid = known->second.record.pid;
    instances_.erase(identifier);
    updateTimer();

    const ExtensionStateStore store;
    FileLock lock(store.lockPath(identifier));
    if (const auto running = store.readLive(identifier)) {
        stop(*running, ownPid == running->pid);
        logger_.notice("Erweiterung %{public}s (pid %d) beendet.", identifier, running->pid);
    } else if (ownPid) {
        ::waitpid(*ownPid, nullptr, WNOHANG);
    }
    store.remove(identifier);
    manager_.deliverResult(request, OSSystemExtensionRequestResultCompleted);
}

bool ExtensionSupervisor::start(const std::string& identifier, const ExtensionLocation& location,
                                const ExtensionStateStore& store, std::string& failure) {
    const auto pid = spawn(identifier, location.programPath, store, failure);
    if (!pid)
        return false;
    const ExtensionInstanceRecord record{identifier, *pid, location.bundleVersion, location.programPath};
    if (!store.write(record))
        logger_.error("Zustandsdatei %{public}s konnte nicht geschrieben werden.",
                      store.statePath(identifier).string());
    logger_.notice("Erweiterung %{public}s gestartet (pid %d, Version %{public}s).", identifier, *pid,
                   location.bundleVersion);
    watch(record, store.directory(), true);
    return true;
}

std::optional<pid_t> ExtensionSupervisor::spawn(const std::string& identifier, const std::string& program,
                                                const ExtensionStateStore& store, std::string& failure) {
    std::error_code error;
    fs::create_directories(store.directory(), error);
    const std::string log = store.logPath(identifier).string();

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string argument0 = program;
    char* arguments[] = {argument0.data(), nullptr};
    pid_t pid = 0;
    const int result = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (result != 0) {
        failure = "Erweiterung " + identifier + " konnte nicht gestartet werden: " + std::strerror(result);
        logger_.error("%{public}s", failure);
        return std::nullopt;
    }
    return pid;
}

void ExtensionSupervisor::stop(const ExtensionInstanceRecord& record, bool ownChild) {
    const auto gone = [&] {
        if (ownChild) {
            const pid_t reaped = ::waitpid(record.pid, nullptr, WNOHANG);
            return reaped == record.pid || (reaped < 0 && errno == ECHILD);
        }
        return !ExtensionStateStore::isRunning(record.pid, record.programPath);
    };
    // Instances run as session leaders: signal the whole group so helpers they started go too.
    const pid_t target = ::getpgid(record.pid) == record.pid ? -record.pid : record.pid;
    const auto waitGone = [&](std::chrono::milliseconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!gone()) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    };
    ::kill(target, SIGTERM);
    if (waitGone(policy_.terminationGrace))
        return;
    logger_.error("Erweiterung %{public}s (pid %d) reagiert nicht auf SIGTERM und wird mit SIGKILL beendet.",
                  record.identifier, record.pid);
    ::kill(target, SIGKILL);
    waitGone(5000ms);
}

void ExtensionSupervisor::watch(const ExtensionInstanceRecord& record, const fs::path& directory, bool ownChild) {
    Instance& instance = instances_[record.identifier];
    if (instance.record.pid != record.pid || instance.generation == 0) {
        instance.record = record;
        instance.directory = directory;
        instance.ownChild = ownChild;
        instance.restartPending = false;
        instance.generation = nextGeneration_++;
    }
    updateTimer();
}

void ExtensionSupervisor::poll() {
    std::vector<std::string> exited;
    for (auto& [identifier, instance] : instances_) {
        if (instance.restartPending)
            continue;
        const pid_t pid = instance.record.pid;
        if (instance.ownChild) {
            int status = 0;
            const pid_t reaped = ::waitpid(pid, &status, WNOHANG);
            if (reaped == pid) {
                logger_.error("Erweiterung %{public}s (pid %d) hat sich beendet (%{public}s).", identifier, pid,
                              exitText(status));
                exited.push_back(identifier);
            } else if (reaped < 0 && errno == ECHILD) {
                logger_.error("Erweiterung %{public}s (pid %d) läuft nicht mehr.", identifier, pid);
                exited.push_back(identifier);
            }
        } else if (!ExtensionStateStore::isRunning(pid, instance.record.programPath)) {
            logger_.error("Erweiterung %{public}s (pid %d) läuft nicht mehr.", identifier, pid);
            exited.push_back(identifier);
        }
    }
    for (const auto& identifier : exited)
        scheduleRestart(identifier);
}

void ExtensionSupervisor::scheduleRestart(const std::string& identifier) {
    auto found = instances_.find(identifier);
    if (found == instances_.end())
        return;
    Instance& instance = found->second;
    const DispatchTime now = DispatchTime::now();
    while (!instance.restarts.empty() && now - instance.restarts.front() >= 60s)
        instance.restarts.pop_front();
    if (static_cast<int>(instance.restarts.size()) >= policy_.maxRestartsPerMinute) {
        // The record goes before the message, so that whoever reads the message finds it gone.
        {
            const ExtensionStateStore store(instance.directory);
            FileLock lock(store.lockPath(identifier));
            const auto recorded = store.read(identifier);
            if (recorded && recorded->pid == instance.record.pid)
                store.remove(identifier);
        }
        logger_.fault("Erweiterung %{public}s wird nicht mehr neu gestartet: %d Neustarts innerhalb einer Minute.",
                      identifier, static_cast<int>(instance.restarts.size()));
        instances_.erase(found);
        updateTimer();
        return;
    }
    auto delay = policy_.firstRestartDelay * (1LL << std::min<std::size_t>(instance.restarts.size(), 16));
    if (delay > policy_.maxRestartDelay)
        delay = policy_.maxRestartDelay;
    instance.restartPending = true;
    instance.generation = nextGeneration_++;
    queue_.asyncAfter(now + delay,
                      [this, identifier, generation = instance.generation] { restart(identifier, generation); });
}

void ExtensionSupervisor::restart(const std::string& identifier, std::uint64_t generation) {
    const auto found = instances_.find(identifier);
    if (found == instances_.end() || found->second.generation != generation)
        return;
    Instance& instance = found->second;
    const ExtensionStateStore store(instance.directory);
    FileLock lock(store.lockPath(identifier));
    if (const auto running = store.readLive(identifier); running && running->pid != instance.record.pid) {
        logger_.notice("Erweiterung %{public}s läuft bereits wieder (pid %d).", identifier, running->pid);
        instance.record = *running;
        instance.ownChild = false;
        instance.restartPending = false;
        return;
    }
    instance.restarts.push_back(DispatchTime::now());
    std::string failure;
    const auto pid = spawn(identifier, instance.record.programPath, store, failure);
    if (!pid) {
        instance.restartPending = false;
        scheduleRestart(identifier);
        return;
    }
    instance.record.pid = *pid;
    instance.ownChild = true;
    instance.restartPending = false;
    if (!store.write(instance.record))
        logger_.error("Zustandsdatei %{public}s konnte nicht geschrieben werden.",
                      store.statePath(identifier).string());
    logger_.notice("Erweiterung %{public}s neu gestartet (pid %d, %d. Neustart in der letzten Minute).", identifier,
                   *pid, static_cast<int>(instance.restarts.size()));
}

void ExtensionSupervisor::updateTimer() {
    if (instances_.empty()) {
        if (timer_) {
            timer_->cancel();
            timer_.reset();
        }
        return;
    }
    if (timer_)
        return;
    timer_ = DispatchSourceTimer::make(queue_);
    timer_->schedule(DispatchTime::now() + policy_.pollInterval, policy_.pollInterval);
    timer_->setEventHandler([this] { poll(); });
    timer_->resume();
}

}  // namespace velunto
