#include "platform/sparkle/SPUUpdater.h"

#include "platform/sparkle/SUAppcast.h"
#include "platform/sparkle/SUStandardVersionComparator.h"

#include <algorithm>

namespace velunto {

namespace {

std::optional<double> number(const std::optional<PropertyListValue>& value) {
    if (!value)
        return std::nullopt;
    if (const auto integer = value->integer())
        return static_cast<double>(*integer);
    if (const auto real = value->real())
        return *real;
    if (const std::string* text = value->string()) {
        try {
            return std::stod(*text);
        } catch (const std::exception&) {
        }
    }
    return std::nullopt;
}

std::optional<bool> flag(const std::optional<PropertyListValue>& value) {
    if (!value)
        return std::nullopt;
    if (const auto boolean = value->boolean())
        return *boolean;
    if (const auto integer = value->integer())
        return *integer != 0;
    if (const std::string* text = value->string()) {
        if (*text == "YES" || *text == "true" || *text == "1")
            return true;
        if (*text == "NO" || *text == "false" || *text == "0")
            return false;
    }
    return std::nullopt;
}

}  // namespace

SPUUpdater::SPUUpdater(const NSBundle& hostBundle, std::shared_ptr<SPUUserDriver> userDriver,
                       SPUUpdaterDelegate* delegate)
    : hostBundle_(hostBundle),
      userDriver_(std::move(userDriver)),
      delegate_(delegate),
      logger_("app.velunto.sparkle", "Updater") {
    automaticChecks_ = flag(hostBundle_.objectForInfoDictionaryKey("SUEnableAutomaticChecks")).value_or(true);
    if (const auto seconds = number(hostBundle_.objectForInfoDictionaryKey("SUScheduledCheckInterval"))) {
        const double clamped = std::clamp(*seconds, static_cast<double>(minimumCheckInterval.count()), 365.0 * 86400.0);
        interval_ = std::chrono::seconds(static_cast<long long>(clamped));
    }
}

SPUUpdater::~SPUUpdater() {
    if (timer_)
        timer_->cancel();
}

std::optional<std::string> SPUUpdater::feedURL() const {
    if (delegate_ != nullptr) {
        if (auto url = delegate_->feedURLStringForUpdater(*this))
            return url;
    }
    return hostBundle_.stringForInfoDictionaryKey("SUFeedURL");
}

std::string SPUUpdater::hostVersion() const {
    if (auto version = hostBundle_.stringForInfoDictionaryKey("CFBundleVersion"))
        return *version;
    return hostBundle_.stringForInfoDictionaryKey("CFBundleShortVersionString").value_or("");
}

std::string SPUUpdater::hostDisplayVersion() const {
    if (auto version = hostBundle_.stringForInfoDictionaryKey("CFBundleShortVersionString"))
        return *version;
    return hostVersion();
}

std::string SPUUpdater::applicationName() const {
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        if (auto name = hostBundle_.stringForInfoDictionaryKey(key); name && !name->empty())
            return *name;
    }
    return "Velunto";
}

bool SPUUpdater::startUpdater(NSError* error) {
    if (started_)
        return true;
    const auto url = feedURL();
    if (!url || !SPUAppcastLoader::isSupportedURL(*url)) {
        const NSError failure{SUSparkleErrorDomain, SUInvalidFeedURLError,
                              url ? "Die Update-Adresse „" + *url + "“ ist ungültig."
                                  : "Es ist keine Update-Adresse (SUFeedURL) eingetragen."};
        logger_.error("Cannot start the updater: %{public}s", failure.localizedDescription);
        if (error != nullptr)
            *error = failure;
        return false;
    }
    started_ = true;
    logger_.info("Updater started with feed %{public}s, automatic checks %{public}s every %lld s", *url,
                 automaticChecks_ ? "on" : "off", static_cast<long long>(interval_.count()));
    scheduleNextCheck();
    canCheckForUpdates.set(true);
    return true;
}

void SPUUpdater::setAutomaticallyChecksForUpdates(bool enabled) {
    automaticChecks_ = enabled;
    if (!checking_)
        scheduleNextCheck();
}

void SPUUpdater::scheduleNextCheck() {
    if (!started_ || !automaticChecks_) {
        if (timer_)
            timer_->cancel();
        timer_.reset();
        return;
    }
    if (!timer_) {
        timer_ = DispatchSourceTimer::make(DispatchQueue::main());
        timer_->setEventHandler([this, alive = std::weak_ptr<bool>(alive_)] {
            if (alive.lock())
                checkForUpdatesInBackground();
        });
        timer_->schedule(DispatchTime::now() + interval_, interval_);
        timer_->resume();
    } else {
        timer_->schedule(DispatchTime::now() + interval_, interval_);
    }
}

void SPUUpdater::checkForUpdates() {
    check(SPUUpdateCheck::updates);
}

void SPUUpdater::checkForUpdatesInBackground() {
    check(SPUUpdateCheck::updatesInBackground);
}

void SPUUpdater::check(SPUUpdateCheck kind) {
    if (!started_) {
        logger_.error("Update check ignored: the updater is not started");
        return;
    }
    if (checking_) {
        logger_.info("Update check ignored: another check is running");
        return;
    }
    checking_ = true;
    canCheckForUpdates.set(false);
    const std::string url = feedURL().value_or("");
    logger_.info("Checking %{public}s (%{public}s)", url,
                 kind == SPUUpdateCheck::updates ? "user-initiated" : "scheduled");
    loader_.load(url, [this, kind, alive = std::weak_ptr<bool>(alive_)](std::optional<std::string> body,
                                                                        std::optional<NSError> error) {
        if (alive.lock())
            finish(kind, std::move(body), std::move(error));
    });
}

void SPUUpdater::finish(SPUUpdateCheck kind, std::optional<std::string> body, std::optional<NSError> error) {
    checking_ = false;
    scheduleNextCheck();
    canCheckForUpdates.set(true);
    present(kind, body, error);
}

void SPUUpdater::presentError(SPUUpdateCheck kind, const NSError& error) {
    logger_.error("Update check failed: %{public}s", error.localizedDescription);
    if (kind == SPUUpdateCheck::updates)
        userDriver_->showUpdaterError(error);
}

void SPUUpdater::present(SPUUpdateCheck kind, const std::optional<std::string>& body,
                         const std::optional<NSError>& error) {
    if (error || !body) {
        presentError(kind, error.value_or(NSError{SUSparkleErrorDomain, SUAppcastError,
                                                  "Der Update-Server ist nicht erreichbar."}));
        return;
    }
    NSError parseError;
    const auto appcast = SUAppcast::parse(*body, &parseError);
    if (!appcast) {
        presentError(kind, parseError);
        return;
    }
    if (appcast->items().empty()) {
        presentError(kind, NSError{SUSparkleErrorDomain, SUAppcastNoItemsError,
                                   "Die Update-Informationen enthalten keine Versionen."});
        return;
    }
    const auto newest = appcast->newestItem();
    if (!newest) {
        presentError(kind, NSError{SUSparkleErrorDomain, SUAppcastNoVersionError,
                                   "Die Update-Informationen enthalten keine gültige Versionsnummer."});
        return;
    }

    const std::string name = applicationName();
    const std::string current = hostDisplayVersion();
    if (SUStandardVersionComparator::compareVersions(newest->versionString, hostVersion()) > 0) {
        if (kind == SPUUpdateCheck::updatesInBackground && userDriver_->supportsGentleScheduledUpdateReminders()) {
            logger_.notice("Update %{public}s available (gentle reminder)", newest->displayVersionString);
            gentleReminder.set(newest->displayVersionString);
            return;
        }
        if (kind == SPUUpdateCheck::updates)
            gentleReminder.set(std::nullopt);
        logger_.notice("Update %{public}s available (running %{public}s)", newest->displayVersionString, current);
        userDriver_->showUpdateFound(
            SPUUpdateFound{*newest, current, "Eine neue Version von " + name + " ist verfügbar.",
                           name + " " + newest->displayVersionString + " ist verfügbar – installiert ist Version " +
                               current + "."},
            SPUUpdateState{kind});
        return;
    }

    logger_.info("No update: %{public}s is current", current);
    if (kind == SPUUpdateCheck::updates) {
        gentleReminder.set(std::nullopt);
        userDriver_->showUpdateNotFound(
            SPUUpdateNotFound{current, name + " ist auf dem neuesten Stand.",
                              "Version " + current + " ist die neueste verfügbare Version."});
    }
}

}  // namespace velunto
