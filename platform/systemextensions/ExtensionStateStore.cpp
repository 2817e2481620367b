#include "platform/systemextensions/ExtensionStateStore.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <system_error>
#include <vector>

namespace velunto {

namespace fs = std::filesystem;

namespace {

std::string readWholeFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

bool samePath(const fs::path& a, const fs::path& b) {
    std::error_code errorA;
    std::error_code errorB;
    const fs::path canonicalA = fs::weakly_canonical(a, errorA);
    const fs::path canonicalB = fs::weakly_canonical(b, errorB);
    return !errorA && !errorB && canonicalA == canonicalB;
}

}  // namespace

ExtensionStateStore::ExtensionStateStore(fs::path directory) : directory_(std::move(directory)) {}

fs::path ExtensionStateStore::defaultDirectory() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && *runtime == '/')
        return fs::path(runtime) / "velunto" / "extensions";
    return fs::path("/tmp") / ("velunto-" + std::to_string(getuid())) / "extensions";
}

bool ExtensionStateStore::isValidIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.front() == '.' || identifier.size() > 200)
        return false;
    for (const char c : identifier) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '-' || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

fs::path ExtensionStateStore::statePath(const std::string& identifier) const {
    return directory_ / (identifier + ".state");
}

fs::path ExtensionStateStore::logPath(const std::string& identifier) const {
    return directory_ / (identifier + ".log");
}

fs::path ExtensionStateStore::lockPath(const std::string& identifier) const {
    return directory_ / (identifier + ".lock");
}

std::optional<ExtensionInstanceRecord> ExtensionStateStore::read(const std::string& identifier) const {
    const std::string text = readWholeFile(statePath(identifier));
    if (text.empty())
        return std::nullopt;
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return std::nullopt;
    try {
        ExtensionInstanceRecord record;
        record.identifier = json.at("identifier").get<std::string>();
        record.pid = json.at("pid").get<pid_t>();
        record.bundleVersion = json.at("bundleVersion").get<std::string>();
        record.programPath = json.at("program").get<std::string>();
        if (record.identifier != identifier || record.pid <= 0)
            return std::nullopt;
        return record;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::optional<ExtensionInstanceRecord> ExtensionStateStore::readLive(const std::string& identifier) const {
    auto record = read(identifier);
    if (record && isRunning(record->pid, record->programPath))
        return record;
    std::error_code error;
    if (fs::exists(statePath(identifier), error))
        remove(identifier);
    return std::nullopt;
}

bool ExtensionStateStore::write(const ExtensionInstanceRecord& record) const {
    std::error_code error;
    fs::create_directories(directory_, error);
    if (error)
        return false;
    const nlohmann::json json = {{"identifier", record.identifier},
                                 {"pid", record.pid},
                                 {"bundleVersion", record.bundleVersion},
                                 {"program", record.programPath}};
    const std::string text = json.dump(2) + "\n";
    const fs::path target = statePath(record.identifier);
    const fs::path temporary = target.string() + ".tmp." + std::to_string(getpid());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    const bool ok = written == text.size() && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(temporary.c_str(), target.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void ExtensionStateStore::remove(const std::string& identifier) const {
    std::error_code error;
    fs::remove(statePath(identifier), error);
}

bool ExtensionStateStore::isRunning(pid_t pid, const std::string& programPath) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM))
        return false;
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    // Field 3 of stat is the state; the command name before it is parenthesised and may hold spaces.
    const std::string stat = readWholeFile(proc / "stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z' || stat[close + 2] == 'X')
        return false;
    std::error_code error;
    const fs::path exe = fs::read_symlink(proc / "exe", error);
    if (!error && samePath(exe, programPath))
        return true;
    const std::string cmdline = readWholeFile(proc / "cmdline");
    std::vector<std::string> words;
    for (std::size_t start = 0; words.size() < 2 && start < cmdline.size();) {
        const auto end = std::min(cmdline.find('\0', start), cmdline.size());
        words.push_back(cmdline.substr(start, end - start));
        start = end + 1;
    }
    for (const auto& word : words)
        if (word == programPath || (!word.empty() && word.front() == '/' && samePath(word, programPath)))
            return true;
    return false;
}

}  // namespace velunto
