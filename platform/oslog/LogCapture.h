#pragma once

#include "platform/oslog/LogEntry.h"

#include <cstddef>
#include <mutex>
#include <string_view>
#include <vector>

namespace velunto {

// Records every log message (all levels, all categories) while alive. Several captures may be
// alive at once; each sees every message.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<LogEntry> entries() const;
    std::vector<LogEntry> entries(std::string_view category) const;
    // Exact comparison of the rendered message.
    bool contains(std::string_view category, std::string_view message) const;
    std::size_t count(std::string_view category, std::string_view message) const;
    void clear();

private:
    friend class LogSinks;
    void append(const LogEntry& entry);

    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

}  // namespace velunto
