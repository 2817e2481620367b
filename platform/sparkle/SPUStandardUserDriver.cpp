#include "platform/sparkle/SPUStandardUserDriver.h"

#include "platform/appkit/NSURL.h"
#include "platform/appkit/NSWorkspace.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace velunto {

SPUStandardUserDriver::SPUStandardUserDriver(std::weak_ptr<SPUStandardUserDriverDelegate> delegate)
    : delegate_(std::move(delegate)), logger_("app.velunto.sparkle", "UserDriver") {}

SPUStandardUserDriver::~SPUStandardUserDriver() {
    if (window_)
        delete window_.data();
}

bool SPUStandardUserDriver::supportsGentleScheduledUpdateReminders() const {
    const auto delegate = delegate_.lock();
    return delegate && delegate->supportsGentleScheduledUpdateReminders();
}

QMessageBox* SPUStandardUserDriver::makeWindow(const std::string& text, const std::string& informativeText, int icon) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        logger_.notice("%{public}s %{public}s", text, informativeText);
        return nullptr;
    }
    if (window_)
        delete window_.data();
    auto* box = new QMessageBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setIcon(static_cast<QMessageBox::Icon>(icon));
    box->setWindowTitle(QString::fromUtf8(windowTitle));
    box->setText(QString::fromStdString(text));
    box->setInformativeText(QString::fromStdString(informativeText));
    window_ = box;
    return box;
}

void SPUStandardUserDriver::openURL(const std::string& url) const {
    const auto parsed = NSURL::URLWithString(url);
    if (!parsed) {
        logger_.error("Cannot open the invalid URL %{public}s", url);
        return;
    }
    NSWorkspace::sharedWorkspace().openURL(*parsed);
}

void SPUStandardUserDriver::showUpdateFound(const SPUUpdateFound& update, SPUUpdateState) {
    QMessageBox* box = makeWindow(update.message, update.informativeText, QMessageBox::Information);
    if (box == nullptr)
        return;
    if (const auto download = update.item.downloadURL()) {
        QPushButton* button = box->addButton(QString::fromUtf8(downloadButtonText), QMessageBox::AcceptRole);
        QObject::connect(button, &QPushButton::clicked, box, [this, url = *download] { openURL(url); });
        box->setDefaultButton(button);
    }
    if (const auto notes = update.item.releaseNotesURL) {
        QPushButton* button = box->addButton(QString::fromUtf8(releaseNotesButtonText), QMessageBox::HelpRole);
        QObject::connect(button, &QPushButton::clicked, box, [this, url = *notes] { openURL(url); });
    }
    box->addButton(QString::fromUtf8(laterButtonText), QMessageBox::RejectRole);
    box->show();
    box->raise();
    box->activateWindow();
}

void SPUStandardUserDriver::showUpdateNotFound(const SPUUpdateNotFound& result) {
    if (QMessageBox* box = makeWindow(result.message, result.informativeText, QMessageBox::Information)) {
        box->addButton(QMessageBox::Ok);
        box->show();
        box->raise();
        box->activateWindow();
    }
}

void SPUStandardUserDriver::showUpdaterError(const NSError& error) {
    if (QMessageBox* box = makeWindow("Die Suche nach Updates ist fehlgeschlagen.", error.localizedDescription,
                                      QMessageBox::Warning)) {
        box->addButton(QMessageBox::Ok);
        box->show();
        box->raise();
        box->activateWindow();
    }
}

}  // namespace velunto
