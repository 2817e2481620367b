#include "platform/oslog/LogCapture.h"

#include "platform/oslog/LogSinks.h"

#include <algorithm>

namespace velunto {

LogCapture::LogCapture() {
    LogSinks::addCapture(this);
}

LogCapture::~LogCapture() {
    LogSinks::removeCapture(this);
}

std::vector<LogEntry> LogCapture::entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<LogEntry> LogCapture::entries(std::string_view category) const {
    std::lock_guard lock(mutex_);
    std::vector<LogEntry> result;
    std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(result),
                 [&](const LogEntry& entry) { return entry.category == category; });
    return result;
}

bool LogCapture::contains(std::string_view category, std::string_view message) const {
    return count(category, message) > 0;
}

std::size_t LogCapture::count(std::string_view category, std::string_view message) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [&](const LogEntry& entry) {
        return entry.category == category && entry.message == message;
    }));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
}

void LogCapture::append(const LogEntry& entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
}

}  // namespace velunto
