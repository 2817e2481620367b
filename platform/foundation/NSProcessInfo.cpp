#include "platform/foundation/NSProcessInfo.h"

#include <sys/utsname.h>

#include <fstream>

namespace velunto {

namespace {

// PRETTY_NAME of os-release(5), unquoted.
std::string distributionName() {
    for (const char* path : {"/etc/os-release", "/usr/lib/os-release"}) {
        std::ifstream file(path);
        std::string line;
        while (std::getline(file, line)) {
            if (line.rfind("PRETTY_NAME=", 0) != 0)
                continue;
            std::string value = line.substr(12);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            return value;
        }
    }
    return {};
}

}  // namespace

NSProcessInfo& NSProcessInfo::processInfo() {
    static NSProcessInfo info;
    return info;
}

std::string NSProcessInfo::operatingSystemVersionString() const {
    utsname system{};
    std::string text = "Version";
    if (uname(&system) == 0)
        text += std::string(" ") + system.release;
    if (const std::string distribution = distributionName(); !distribution.empty())
        text += " (" + distribution + ")";
    return text;
}

}  // namespace velunto
