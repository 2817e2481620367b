#pragma once

#include "platform/oslog/Logger.h"
#include "platform/sparkle/SPUStandardUserDriverDelegate.h"
#include "platform/sparkle/SPUUserDriver.h"

#include <QMessageBox>
#include <QPointer>

#include <memory>
#include <optional>
#include <string>

namespace velunto {

// Shows update-check outcomes in a small German window ("Softwareaktualisierung") that does not
// block: one window at a time, a newer outcome replaces the open one. "Herunterladen" hands the
// download URL to NSWorkspace, "Versionshinweise" the release notes URL. Without a QApplication the
// outcome is only logged. Main (Qt) thread only.
class SPUStandardUserDriver : public SPUUserDriver {
public:
    static constexpr const char* windowTitle = "Softwareaktualisierung";
    static constexpr const char* downloadButtonText = "Herunterladen";
    static constexpr const char* releaseNotesButtonText = "Versionshinweise";
    static constexpr const char* laterButtonText = "Später";

    explicit SPUStandardUserDriver(std::weak_ptr<SPUStandardUserDriverDelegate> delegate = {});
    ~SPUStandardUserDriver() override;

    void showUpdateFound(const SPUUpdateFound& update, SPUUpdateState state) override;
    void showUpdateNotFound(const SPUUpdateNotFound& result) override;
    void showUpdaterError(const NSError& error) override;
    bool supportsGentleScheduledUpdateReminders() const override;

    // The open window, if any.
    QMessageBox* window() const { return window_.data(); }

private:
    QMessageBox* makeWindow(const std::string& text, const std::string& informativeText, int icon);
    void openURL(const std::string& url) const;

    std::weak_ptr<SPUStandardUserDriverDelegate> delegate_;
    QPointer<QMessageBox> window_;
    Logger logger_;
};

}  // namespace velunto
