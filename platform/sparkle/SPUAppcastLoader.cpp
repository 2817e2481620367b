#include "platform/sparkle/SPUAppcastLoader.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/sparkle/SUAppcast.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <fstream>
#include <sstream>

namespace velunto {

namespace {

NSError unreachable(const std::string& reason) {
    return NSError{SUSparkleErrorDomain, SUAppcastError, "Der Update-Server ist nicht erreichbar (" + reason + ")."};
}

void complete(SPUAppcastLoader::Completion completion, std::optional<std::string> body, std::optional<NSError> error) {
    DispatchQueue::main().async(
        [completion = std::move(completion), body = std::move(body), error = std::move(error)]() mutable {
            completion(std::move(body), std::move(error));
        });
}

}  // namespace

SPUAppcastLoader::SPUAppcastLoader() : logger_("app.velunto.sparkle", "Appcast") {}

SPUAppcastLoader::~SPUAppcastLoader() = default;

bool SPUAppcastLoader::isSupportedURL(const std::string& url) {
    const QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid())
        return false;
    const QString scheme = parsed.scheme().toLower();
    if (scheme == u"file")
        return !parsed.toLocalFile().isEmpty();
    return (scheme == u"http" || scheme == u"https") && !parsed.host().isEmpty();
}

void SPUAppcastLoader::load(const std::string& url, Completion completion) {
    if (!isSupportedURL(url)) {
        complete(
            std::move(completion), std::nullopt,
            NSError{SUSparkleErrorDomain, SUInvalidFeedURLError, "Die Update-Adresse „" + url + "“ ist ungültig."});
        return;
    }
    if (QUrl(QString::fromStdString(url)).isLocalFile())
        loadFile(url, std::move(completion));
    else
        loadNetwork(url, std::move(completion));
}

void SPUAppcastLoader::loadFile(const std::string& url, Completion completion) {
    const std::string path = QUrl(QString::fromStdString(url)).toLocalFile().toStdString();
    DispatchQueue::global(DispatchQoS::utility).async([path, completion = std::move(completion)]() mutable {
        std::ifstream stream(path, std::ios::binary);
        if (!stream) {
            complete(std::move(completion), std::nullopt, unreachable("Datei " + path + " nicht lesbar"));
            return;
        }
        std::ostringstream body;
        if (!(body << stream.rdbuf()) && stream.peek() != std::ifstream::traits_type::eof()) {
            complete(std::move(completion), std::nullopt, unreachable("Lesefehler in " + path));
            return;
        }
        complete(std::move(completion), std::move(body).str(), std::nullopt);
    });
}

void SPUAppcastLoader::loadNetwork(const std::string& url, Completion completion) {
    if (QCoreApplication::instance() == nullptr) {
        logger_.error("No Qt application: cannot load %{public}s", url);
        complete(std::move(completion), std::nullopt, unreachable("keine Netzwerkverbindung verfügbar"));
        return;
    }
    if (!network_)
        network_ = std::make_unique<QNetworkAccessManager>();
    QNetworkRequest request{QUrl(QString::fromStdString(url))};
    request.setTransferTimeout(static_cast<int>(std::chrono::milliseconds(timeout).count()));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = network_->get(request);
    QObject::connect(
        reply, &QNetworkReply::finished, network_.get(),
        [this, reply, url, completion = std::move(completion)]() mutable {
            reply->deleteLater();
            if (reply->error() != QNetworkReply::NoError) {
                logger_.error("Loading %{public}s failed: %{public}s", url, reply->errorString().toStdString());
                complete(std::move(completion), std::nullopt, unreachable(reply->errorString().toStdString()));
                return;
            }
            const QByteArray body = reply->readAll();
            complete(std::move(completion), body.toStdString(), std::nullopt);
        });
}

}  // namespace velunto
