#pragma once

#include "platform/oslog/LogFormatter.h"
#include "platform/oslog/LogSinks.h"
#include "platform/oslog/OSLogType.h"

#include <string>
#include <string_view>

namespace velunto {

// A log handle for one subsystem and category, used like os_log's Logger:
//   Logger logger("app.velunto", "AppState");
//   logger.error("%{public}s failed: OSStatus %d", label, status);
// Format strings follow LogFormatter's rules. Messages nobody records are not formatted.
class Logger {
public:
    Logger(std::string subsystem, std::string category);

    template <class... A>
    void log(OSLogType type, std::string_view format, const A&... arguments) const {
        if (!LogSinks::wants(type))
            return;
        write(type, formatLogMessage(format, arguments...));
    }

    template <class... A>
    void log(std::string_view format, const A&... arguments) const {
        log(OSLogType::defaultType, format, arguments...);
    }
    template <class... A>
    void notice(std::string_view format, const A&... arguments) const {
        log(OSLogType::defaultType, format, arguments...);
    }
    template <class... A>
    void info(std::string_view format, const A&... arguments) const {
        log(OSLogType::info, format, arguments...);
    }
    template <class... A>
    void debug(std::string_view format, const A&... arguments) const {
        log(OSLogType::debug, format, arguments...);
    }
    template <class... A>
    void error(std::string_view format, const A&... arguments) const {
        log(OSLogType::error, format, arguments...);
    }
    template <class... A>
    void fault(std::string_view format, const A&... arguments) const {
        log(OSLogType::fault, format, arguments...);
    }

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    void write(OSLogType type, std::string message) const;

    std::string subsystem_;
    std::string category_;
};

}  // namespace velunto
