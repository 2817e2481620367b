#pragma once

namespace velunto {

// Tells the standard user driver how the application wants scheduled updates presented.
class SPUStandardUserDriverDelegate {
public:
    virtual ~SPUStandardUserDriverDelegate() = default;
    // True: a scheduled check that finds an update posts a gentle reminder (SPUUpdater::gentleReminder)
    // instead of opening the update window; the window comes when the user checks.
    virtual bool supportsGentleScheduledUpdateReminders() { return false; }
};

}  // namespace velunto
