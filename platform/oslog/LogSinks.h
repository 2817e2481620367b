#pragma once

#include "platform/oslog/LogEntry.h"
#include "platform/oslog/OSLogType.h"

#include <chrono>
#include <filesystem>
#include <string>

namespace velunto {

class LogCapture;

// Process-wide destinations of log messages. All functions are thread-safe; writing a message
// takes a short lock (never log from a real-time thread).
//   stderr:  on by default, messages of level info and above;
//   file:    off until setFile(), every level from the file minimum (default: debug) upwards;
//   capture: every message while a LogCapture is alive.
class LogSinks {
public:
    static void setStderrEnabled(bool enabled);
    static bool stderrEnabled();
    static void setStderrMinimumLevel(OSLogType type);
    static OSLogType stderrMinimumLevel();

    // Appends to the file (created if missing), one flushed line per message. Replaces a previously
    // set file. Returns false, leaving the file sink closed, if the file cannot be opened.
    static bool setFile(const std::filesystem::path& path);
    static void closeFile();
    static void setFileMinimumLevel(OSLogType type);

    // True if at least one sink records messages of this level (lets callers skip formatting).
    static bool wants(OSLogType type);
    static void write(const LogEntry& entry);

    // "2026-12-07 20:31:05.123 Error [app.velunto:AppState] message" in local time.
    static std::string formatLine(const LogEntry& entry, std::chrono::system_clock::time_point time);

private:
    friend class LogCapture;
    static void addCapture(LogCapture* capture);
    static void removeCapture(LogCapture* capture);
};

}  // namespace velunto
