#pragma once

#include <string_view>

namespace velunto {

enum class OSLogType { defaultType, info, debug, error, fault };

// Ordering used for minimum-level filters: debug < info < default < error < fault.
constexpr int logTypeSeverity(OSLogType type) {
    switch (type) {
        case OSLogType::debug:
            return 0;
        case OSLogType::info:
            return 1;
        case OSLogType::defaultType:
            return 2;
        case OSLogType::error:
            return 3;
        case OSLogType::fault:
            return 4;
    }
    return 2;
}

constexpr std::string_view logTypeName(OSLogType type) {
    switch (type) {
        case OSLogType::debug:
            return "Debug";
        case OSLogType::info:
            return "Info";
        case OSLogType::defaultType:
            return "Default";
        case OSLogType::error:
            return "Error";
        case OSLogType::fault:
            return "Fault";
    }
    return "Default";
}

}  // namespace velunto
