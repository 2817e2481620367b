#include "platform/sparkle/SUAppcast.h"

#include "platform/sparkle/SUStandardVersionComparator.h"

#include <QByteArray>
#include <QString>
#include <QXmlStreamReader>

namespace velunto {

namespace {

std::string text(QStringView view) {
    return view.trimmed().toString().toStdString();
}

std::optional<std::string> nonEmpty(std::string value) {
    if (value.empty())
        return std::nullopt;
    return value;
}

std::optional<std::string> attribute(const QXmlStreamAttributes& attributes, QStringView namespaceUri,
                                     QStringView name) {
    if (!attributes.hasAttribute(namespaceUri.toString(), name.toString()))
        return std::nullopt;
    return nonEmpty(text(attributes.value(namespaceUri.toString(), name.toString())));
}

SUAppcastItem readItem(QXmlStreamReader& reader) {
    const QString sparkle = QString::fromLatin1(SUAppcast::sparkleNamespace.data(),
                                                static_cast<qsizetype>(SUAppcast::sparkleNamespace.size()));
    SUAppcastItem item;
    std::optional<std::string> elementVersion, elementShortVersion, enclosureVersion, enclosureShortVersion;
    while (reader.readNextStartElement()) {
        const QStringView name = reader.name();
        const QStringView namespaceUri = reader.namespaceUri();
        if (namespaceUri.isEmpty()) {
            if (name == u"title") {
                item.title = text(reader.readElementText());
            } else if (name == u"link") {
                item.infoURL = nonEmpty(text(reader.readElementText()));
            } else if (name == u"description") {
                item.itemDescription = nonEmpty(text(reader.readElementText(QXmlStreamReader::IncludeChildElements)));
            } else if (name == u"pubDate") {
                item.dateString = nonEmpty(text(reader.readElementText()));
            } else if (name == u"enclosure") {
                const QXmlStreamAttributes attributes = reader.attributes();
                item.fileURL = attribute(attributes, {}, u"url");
                item.contentType = attribute(attributes, {}, u"type");
                enclosureVersion = attribute(attributes, sparkle, u"version");
                enclosureShortVersion = attribute(attributes, sparkle, u"shortVersionString");
                if (const auto length = attribute(attributes, {}, u"length")) {
                    bool ok = false;
                    const long long value = QString::fromStdString(*length).toLongLong(&ok);
                    if (ok && value >= 0)
                        item.contentLength = value;
                }
                reader.skipCurrentElement();
            } else {
                reader.skipCurrentElement();
            }
        } else if (namespaceUri == sparkle) {
            if (name == u"version") {
                elementVersion = nonEmpty(text(reader.readElementText()));
            } else if (name == u"shortVersionString") {
                elementShortVersion = nonEmpty(text(reader.readElementText()));
            } else if (name == u"releaseNotesLink") {
                item.releaseNotesURL = nonEmpty(text(reader.readElementText()));
            } else if (name == u"minimumSystemVersion") {
                item.minimumSystemVersion = nonEmpty(text(reader.readElementText()));
            } else {
                reader.skipCurrentElement();
            }
        } else {
            reader.skipCurrentElement();
        }
    }
    item.versionString = elementVersion.value_or(enclosureVersion.value_or(""));
    item.displayVersionString = elementShortVersion.value_or(enclosureShortVersion.value_or(item.versionString));
    return item;
}

}  // namespace

std::optional<SUAppcast> SUAppcast::parse(std::string_view xml, NSError* error) {
    const auto fail = [error](const std::string& reason) -> std::optional<SUAppcast> {
        if (error != nullptr) {
            *error = NSError{SUSparkleErrorDomain, SUAppcastParseError,
                             "Die Update-Informationen konnten nicht gelesen werden (" + reason + ")."};
        }
        return std::nullopt;
    };

    QXmlStreamReader reader(QByteArray(xml.data(), static_cast<qsizetype>(xml.size())));
    SUAppcast appcast;
    bool sawChannel = false;
    if (reader.readNextStartElement()) {
        if (reader.name() != u"rss" || !reader.namespaceUri().isEmpty())
            return fail("kein RSS-Feed");
        while (reader.readNextStartElement()) {
            if (reader.name() != u"channel" || !reader.namespaceUri().isEmpty()) {
                reader.skipCurrentElement();
                continue;
            }
            sawChannel = true;
            while (reader.readNextStartElement()) {
                if (reader.name() == u"item" && reader.namespaceUri().isEmpty())
                    appcast.items_.push_back(readItem(reader));
                else
                    reader.skipCurrentElement();
            }
        }
    }
    while (!reader.atEnd() && !reader.hasError())
        reader.readNext();
    if (reader.hasError())
        return fail("XML-Fehler in Zeile " + std::to_string(reader.lineNumber()) + ": " +
                    reader.errorString().toStdString());
    if (!sawChannel)
        return fail("kein RSS-Kanal");
    return appcast;
}

std::optional<SUAppcastItem> SUAppcast::newestItem() const {
    const SUAppcastItem* newest = nullptr;
    for (const SUAppcastItem& item : items_) {
        if (!item.hasVersion())
            continue;
        if (newest == nullptr ||
            SUStandardVersionComparator::compareVersions(item.versionString, newest->versionString) > 0)
            newest = &item;
    }
    if (newest == nullptr)
        return std::nullopt;
    return *newest;
}

}  // namespace velunto
