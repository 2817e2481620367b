#include "platform/sparkle/SPURecordingUserDriver.h"

namespace velunto {

SPURecordingUserDriver::SPURecordingUserDriver(std::weak_ptr<SPUStandardUserDriverDelegate> delegate)
    : delegate_(std::move(delegate)) {}

void SPURecordingUserDriver::showUpdateFound(const SPUUpdateFound& update, SPUUpdateState state) {
    updatesFound_.emplace_back(update, state);
}

void SPURecordingUserDriver::showUpdateNotFound(const SPUUpdateNotFound& result) {
    updatesNotFound_.push_back(result);
}

void SPURecordingUserDriver::showUpdaterError(const NSError& error) {
    errors_.push_back(error);
}

bool SPURecordingUserDriver::supportsGentleScheduledUpdateReminders() const {
    const auto delegate = delegate_.lock();
    return delegate && delegate->supportsGentleScheduledUpdateReminders();
}

void SPURecordingUserDriver::clear() {
    updatesFound_.clear();
    updatesNotFound_.clear();
    errors_.clear();
}

}  // namespace velunto
