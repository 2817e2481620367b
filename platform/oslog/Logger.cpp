#include "platform/oslog/Logger.h"

#include <utility>

namespace velunto {

Logger::Logger(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

void Logger::write(OSLogType type, std::string message) const {
    LogSinks::write(LogEntry{type, subsystem_, category_, std::move(message)});
}

}  // namespace velunto
