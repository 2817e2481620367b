// The appcast reader fed arbitrary feed text. A refused feed says why in a parse error; a read one gives items
// whose fields keep the reader's promises (trimmed, present only when not empty, a display version whenever there
// is a version) and that read back the same from a feed written out of them. The version comparator must be a
// weak order on the versions found (reflexive, antisymmetric, transitive), and the newest item the first of the
// highest versions.
#include "platform/sparkle/SUAppcast.h"
#include "platform/sparkle/SUStandardVersionComparator.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velunto {
namespace {

constexpr std::size_t kMaximumComparedVersions = 24;

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "appcast fuzz check failed: %s\n", what);
        std::abort();
    }
}

// No surrounding ASCII whitespace (what the reader trims beyond that depends on Unicode tables).
bool isTrimmed(const std::string& text) {
    const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    return text.empty() || (!space(text.front()) && !space(text.back()));
}

bool isPresentText(const std::optional<std::string>& text) {
    return !text || (!text->empty() && isTrimmed(*text));
}

void checkPromises(const SUAppcastItem& item) {
    require(isTrimmed(item.title) && isTrimmed(item.versionString) && isTrimmed(item.displayVersionString),
            "a text field is not trimmed");
    require(item.hasVersion() == !item.versionString.empty(), "hasVersion disagrees with the version string");
    require(!item.hasVersion() || !item.displayVersionString.empty(), "a version without a display version");
    require(isPresentText(item.fileURL) && isPresentText(item.contentType) && isPresentText(item.releaseNotesURL) &&
                isPresentText(item.infoURL) && isPresentText(item.itemDescription) && isPresentText(item.dateString) &&
                isPresentText(item.minimumSystemVersion),
            "an optional field is present but empty or untrimmed");
    require(!item.contentLength || *item.contentLength >= 0, "a negative content length");
    require(item.downloadURL() == (item.fileURL ? item.fileURL : item.infoURL),
            "the download URL is not the promised one");
}

// Text as element content or attribute value; whitespace other than spaces as references, so that the reader's
// line-end and attribute normalisation keep it.
std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void element(std::string& xml, const char* name, const std::optional<std::string>& text) {
    if (text && !text->empty())
        xml += std::string("<") + name + ">" + escaped(*text) + "</" + name + ">";
}

std::string feedOf(const std::vector<SUAppcastItem>& items) {
    std::string xml =
        "<rss version=\"2.0\" xmlns:sparkle=\"" + std::string(SUAppcast::sparkleNamespace) + "\"><channel>";
    for (const SUAppcastItem& item : items) {
        xml += "<item>";
        element(xml, "title", item.title);
        element(xml, "sparkle:version", item.versionString);
        if (item.displayVersionString != item.versionString)
            element(xml, "sparkle:shortVersionString", item.displayVersionString);
        element(xml, "link", item.infoURL);
        element(xml, "description", item.itemDescription);
        element(xml, "pubDate", item.dateString);
        element(xml, "sparkle:releaseNotesLink", item.releaseNotesURL);
        element(xml, "sparkle:minimumSystemVersion", item.minimumSystemVersion);
        if (item.fileURL || item.contentType || item.contentLength) {
            xml += "<enclosure";
            if (item.fileURL)
                xml += " url=\"" + escaped(*item.fileURL) + "\"";
            if (item.contentType)
                xml += " type=\"" + escaped(*item.contentType) + "\"";
            if (item.contentLength)
                xml += " length=\"" + std::to_string(*item.contentLength) + "\"";
            xml += "/>";
        }
        xml += "</item>";
    }
    return xml + "</channel></rss>";
}

bool sameItem(const SUAppcastItem& a, const SUAppcastItem& b) {
    return a.title == b.title && a.versionString == b.versionString &&
           a.displayVersionString == b.displayVersionString && a.fileURL == b.fileURL &&
           a.contentLength == b.contentLength && a.contentType == b.contentType &&
           a.releaseNotesURL == b.releaseNotesURL && a.infoURL == b.infoURL && a.itemDescription == b.itemDescription &&
           a.dateString == b.dateString && a.minimumSystemVersion == b.minimumSystemVersion;
}

void checkOrder(const SUAppcast& appcast) {
    std::vector<std::string> versions;
    for (const SUAppcastItem& item : appcast.items())
        if (item.hasVersion())
            versions.push_back(item.versionString);
    const bool comparedAll = versions.size() <= kMaximumComparedVersions;
    versions.resize(std::min(versions.size(), kMaximumComparedVersions));
    const auto compare = SUStandardVersionComparator::compareVersions;
    for (const std::string& a : versions) {
        require(compare(a, a) == 0, "a version is not equal to itself");
        for (const std::string& b : versions) {
            const auto ab = compare(a, b);
            require(compare(b, a) == (0 <=> ab), "the comparison is not antisymmetric");
            for (const std::string& c : versions) {
                const auto bc = compare(b, c);
                if (ab <= 0 && bc <= 0)
                    require(compare(a, c) <= 0 && (ab < 0 || bc < 0 ? compare(a, c) < 0 : compare(a, c) == 0),
                            "the comparison is not transitive");
            }
        }
    }
    if (!comparedAll)
        return;  // the newest item is checked where every version was compared
    const auto newest = appcast.newestItem();
    require(newest.has_value() == !versions.empty(), "no newest item among versioned items, or one among none");
    if (!newest)
        return;
    require(newest->hasVersion(), "the newest item has no version");
    for (const SUAppcastItem& item : appcast.items())
        require(!item.hasVersion() || compare(item.versionString, newest->versionString) <= 0,
                "an item is newer than the newest item");
    for (const SUAppcastItem& item : appcast.items())
        if (item.hasVersion() && compare(item.versionString, newest->versionString) == 0) {
            require(sameItem(item, *newest), "the newest item is not the first of the highest versions");
            break;
        }
}

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    const std::string_view xml(reinterpret_cast<const char*>(data), size);
    NSError error;
    const auto appcast = SUAppcast::parse(xml, &error);
    if (!appcast) {
        require(error.domain == SUSparkleErrorDomain && error.code == SUAppcastParseError,
                "a refused feed gave no parse error");
        return 0;
    }
    for (const SUAppcastItem& item : appcast->items())
        checkPromises(item);
    checkOrder(*appcast);

    const std::string written = feedOf(appcast->items());
    const auto reread = SUAppcast::parse(written);
    require(reread.has_value(), "a feed written from the items does not read");
    require(reread->items().size() == appcast->items().size(), "a feed written from the items has other items");
    for (std::size_t i = 0; i < reread->items().size(); ++i)
        require(sameItem(reread->items()[i], appcast->items()[i]), "an item reads back differently");
    return 0;
}
