#pragma once

#include "platform/foundation/NSError.h"
#include "platform/sparkle/SUAppcast.h"

#include <string>

namespace velunto {

enum class SPUUpdateCheck {
    updates,              // the user asked: every outcome is shown
    updatesInBackground,  // scheduled: only a found update is shown
};

struct SPUUpdateState {
    SPUUpdateCheck check = SPUUpdateCheck::updates;
    bool userInitiated() const { return check == SPUUpdateCheck::updates; }
};

// An available update, with the sentences to show for it.
struct SPUUpdateFound {
    SUAppcastItem item;
    std::string currentVersion;   // the running version as shown to users
    std::string message;          // "Eine neue Version von Velunto ist verfügbar."
    std::string informativeText;  // "Velunto 1.3 ist verfügbar – installiert ist Version 1.2."
};

// The result of a check that found nothing newer.
struct SPUUpdateNotFound {
    std::string currentVersion;
    std::string message;          // "Velunto ist auf dem neuesten Stand."
    std::string informativeText;  // "Version 1.2 ist die neueste verfügbare Version."
};

// Presents the outcomes of update checks. Called on the main queue.
class SPUUserDriver {
public:
    virtual ~SPUUserDriver() = default;

    virtual void showUpdateFound(const SPUUpdateFound& update, SPUUpdateState state) = 0;
    virtual void showUpdateNotFound(const SPUUpdateNotFound& result) = 0;
    // A failed user-initiated check (SUSparkleErrorDomain, German description).
    virtual void showUpdaterError(const NSError& error) = 0;
    // Whether a scheduled check that finds an update posts a gentle reminder instead of showing it.
    virtual bool supportsGentleScheduledUpdateReminders() const { return false; }
};

}  // namespace velunto
