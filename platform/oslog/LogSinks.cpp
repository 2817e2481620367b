#include "platform/oslog/LogSinks.h"

#include "platform/oslog/LogCapture.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

namespace velunto {
namespace {

struct SinkState {
    std::mutex mutex;
    std::atomic<bool> stderrEnabled{true};
    std::atomic<int> stderrMinimum{logTypeSeverity(OSLogType::info)};
    std::atomic<int> fileMinimum{logTypeSeverity(OSLogType::debug)};
    std::atomic<bool> fileOpen{false};
    std::atomic<int> captureCount{0};
    int fileDescriptor = -1;            // guarded by mutex
    std::vector<LogCapture*> captures;  // guarded by mutex
};

// Never destroyed, so that objects logging from static destructors still find it.
SinkState& sinkState() {
    static SinkState* const state = new SinkState;
    return *state;
}

void writeAll(int fd, const std::string& text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        written += static_cast<std::size_t>(n);
    }
}

OSLogType typeForSeverity(int severity) {
    for (const OSLogType type :
         {OSLogType::debug, OSLogType::info, OSLogType::defaultType, OSLogType::error, OSLogType::fault}) {
        if (logTypeSeverity(type) == severity)
            return type;
    }
    return OSLogType::defaultType;
}

}  // namespace

void LogSinks::setStderrEnabled(bool enabled) {
    sinkState().stderrEnabled = enabled;
}

bool LogSinks::stderrEnabled() {
    return sinkState().stderrEnabled;
}

void LogSinks::setStderrMinimumLevel(OSLogType type) {
    sinkState().stderrMinimum = logTypeSeverity(type);
}

OSLogType LogSinks::stderrMinimumLevel() {
    return typeForSeverity(sinkState().stderrMinimum);
}

bool LogSinks::setFile(const std::filesystem::path& path) {
    SinkState& state = sinkState();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::lock_guard lock(state.mutex);
    if (state.fileDescriptor >= 0)
        ::close(state.fileDescriptor);
    state.fileDescriptor = fd;
    state.fileOpen = fd >= 0;
    return fd >= 0;
}

void LogSinks::closeFile() {
    SinkState& state = sinkState();
    std::lock_guard lock(state.mutex);
    if (state.fileDescriptor >= 0)
        ::close(state.fileDescriptor);
    state.fileDescriptor = -1;
    state.fileOpen = false;
}

void LogSinks::setFileMinimumLevel(OSLogType type) {
    sinkState().fileMinimum = logTypeSeverity(type);
}

bool LogSinks::wants(OSLogType type) {
    const SinkState& state = sinkState();
    const int severity = logTypeSeverity(type);
    return state.captureCount > 0 || (state.stderrEnabled && severity >= state.stderrMinimum) ||
           (state.fileOpen && severity >= state.fileMinimum);
}

void LogSinks::write(const LogEntry& entry) {
    SinkState& state = sinkState();
    const int severity = logTypeSeverity(entry.type);
    const bool toStderr = state.stderrEnabled && severity >= state.stderrMinimum;
    const bool toFile = state.fileOpen && severity >= state.fileMinimum;
    std::string line;
    if (toStderr || toFile)
        line = formatLine(entry, std::chrono::system_clock::now());

    std::lock_guard lock(state.mutex);
    if (toStderr)
        writeAll(STDERR_FILENO, line);
    if (toFile && state.fileDescriptor >= 0)
        writeAll(state.fileDescriptor, line);
    for (LogCapture* capture : state.captures)
        capture->append(entry);
}

std::string LogSinks::formatLine(const LogEntry& entry, std::chrono::system_clock::time_point time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    if (milliseconds < 0)
        milliseconds += 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char fraction[8];
    std::snprintf(fraction, sizeof fraction, ".%03d", static_cast<int>(milliseconds));

    std::string line;
    line.reserve(length + entry.subsystem.size() + entry.category.size() + entry.message.size() + 24);
    line.append(stamp, length);
    line += fraction;
    line += ' ';
    line += logTypeName(entry.type);
    line += " [";
    line += entry.subsystem;
    line += ':';
    line += entry.category;
    line += "] ";
    line += entry.message;
    line += '\n';
    return line;
}

void LogSinks::addCapture(LogCapture* capture) {
    SinkState& state = sinkState();
    std::lock_guard lock(state.mutex);
    state.captures.push_back(capture);
    state.captureCount = static_cast<int>(state.captures.size());
}

void LogSinks::removeCapture(LogCapture* capture) {
    SinkState& state = sinkState();
    std::lock_guard lock(state.mutex);
    std::erase(state.captures, capture);
    state.captureCount = static_cast<int>(state.captures.size());
}

}  // namespace velunto
