#pragma once

#include "platform/oslog/OSLogType.h"

#include <string>

namespace velunto {

struct LogEntry {
    OSLogType type = OSLogType::defaultType;
    std::string subsystem;
    std::string category;
    std::string message;
};

}  // namespace velunto
