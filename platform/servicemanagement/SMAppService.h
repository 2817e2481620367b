#pragma once

#include <filesystem>
#include <mutex>
#include <string>

#include "platform/foundation/NSError.h"
#include "platform/oslog/Logger.h"

namespace velunto {

enum class SMAppServiceStatus : long { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

// Error domain and codes of failed registrations.
inline constexpr const char* SMAppServiceErrorDomain = "SMAppServiceErrorDomain";
enum : long { kSMErrorInternalFailure = 2, kSMErrorJobNotFound = 6 };

// The application as a login item: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/velunto.desktop
// (~/.config when XDG_CONFIG_HOME is unset). The environment is read on every call.
//
// status(): no entry → notRegistered; switched off by the user (Hidden=true or
// X-GNOME-Autostart-enabled=false) → requiresApproval; Exec names no executable program, or the main
// application path is unknown → notFound; otherwise enabled.
class SMAppService {
public:
    static SMAppService& mainAppService();

    SMAppServiceStatus status() const;
    // Writes the entry atomically. An entry the user switched off stays off (status requiresApproval,
    // no error). False with a German description naming the path when the folder can't be written.
    bool registerAndReturnError(NSError* error);
    // Removes the entry; false when there is none.
    bool unregisterAndReturnError(NSError* error);
    // Opens the autostart folder with the desktop's file manager (NSWorkspace).
    static void openSystemSettingsLoginItems();

    // The program the login item starts (default: this process's executable, /proc/self/exe; empty
    // when unknown).
    void setMainApplicationPath(std::string path);
    std::string mainApplicationPath() const;

    static std::filesystem::path autostartDirectory();
    static std::filesystem::path entryPath();

private:
    SMAppService();

    mutable std::mutex mutex_;
    std::string mainPath_;
    Logger logger_;
};

}  // namespace velunto
