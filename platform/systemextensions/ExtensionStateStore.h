#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace velunto {

// What the state file of a running extension instance records.
struct ExtensionInstanceRecord {
    std::string identifier;
    pid_t pid = 0;
    std::string bundleVersion;
    std::string programPath;
};

// The state files of running extension instances, one JSON file per identifier in a directory
// ($XDG_RUNTIME_DIR/velunto/extensions by default), with the instance's log file next to it.
class ExtensionStateStore {
public:
    explicit ExtensionStateStore(std::filesystem::path directory = defaultDirectory());

    // $XDG_RUNTIME_DIR/velunto/extensions, or /tmp/velunto-<uid>/extensions without XDG_RUNTIME_DIR.
    static std::filesystem::path defaultDirectory();
    // Reverse-DNS style: letters, digits, '.', '-', '_', not starting with '.'.
    static bool isValidIdentifier(const std::string& identifier);

    const std::filesystem::path& directory() const { return directory_; }
    std::filesystem::path statePath(const std::string& identifier) const;
    std::filesystem::path logPath(const std::string& identifier) const;
    std::filesystem::path lockPath(const std::string& identifier) const;

    // The record as written; none if missing or unreadable.
    std::optional<ExtensionInstanceRecord> read(const std::string& identifier) const;
    // The record if its process is alive and still runs the recorded program; a stale file is removed.
    std::optional<ExtensionInstanceRecord> readLive(const std::string& identifier) const;
    // Written to a temporary file and renamed over the old one. False on failure.
    bool write(const ExtensionInstanceRecord& record) const;
    void remove(const std::string& identifier) const;

    // The process exists, is no zombie, and runs `programPath` (/proc/<pid>/exe, or for a script the
    // script's path among the first two command-line words).
    static bool isRunning(pid_t pid, const std::string& programPath);

private:
    std::filesystem::path directory_;
};

}  // namespace velunto
