#pragma once

#include "platform/sparkle/SPUStandardUserDriverDelegate.h"
#include "platform/sparkle/SPUUserDriver.h"

#include <memory>
#include <utility>
#include <vector>

namespace velunto {

// A user driver that shows nothing and records what it was asked to show (tests, headless runs).
// Gentle reminders are supported when the delegate says so.
class SPURecordingUserDriver : public SPUUserDriver {
public:
    explicit SPURecordingUserDriver(std::weak_ptr<SPUStandardUserDriverDelegate> delegate = {});

    void showUpdateFound(const SPUUpdateFound& update, SPUUpdateState state) override;
    void showUpdateNotFound(const SPUUpdateNotFound& result) override;
    void showUpdaterError(const NSError& error) override;
    bool supportsGentleScheduledUpdateReminders() const override;

    const std::vector<std::pair<SPUUpdateFound, SPUUpdateState>>& updatesFound() const { return updatesFound_; }
    const std::vector<SPUUpdateNotFound>& updatesNotFound() const { return updatesNotFound_; }
    const std::vector<NSError>& errors() const { return errors_; }
    std::size_t presentationCount() const { return updatesFound_.size() + updatesNotFound_.size() + errors_.size(); }
    void clear();

private:
    std::weak_ptr<SPUStandardUserDriverDelegate> delegate_;
    std::vector<std::pair<SPUUpdateFound, SPUUpdateState>> updatesFound_;
    std::vector<SPUUpdateNotFound> updatesNotFound_;
    std::vector<NSError> errors_;
};

}  // namespace velunto
