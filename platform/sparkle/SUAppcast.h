#pragma once

#include "platform/foundation/NSError.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velunto {

inline constexpr const char* SUSparkleErrorDomain = "SUSparkleErrorDomain";
// NSError codes of SUSparkleErrorDomain.
enum SUError : long {
    SUInvalidFeedURLError = 4,
    SUAppcastParseError = 1000,
    SUNoUpdateError = 1001,
    SUAppcastError = 1002,  // the feed could not be read
    SUAppcastNoItemsError = 1100,
    SUAppcastNoVersionError = 1101,
};

// One <item> of an appcast.
struct SUAppcastItem {
    std::string title;
    std::string versionString;           // sparkle:version (element, else enclosure attribute); empty if none
    std::string displayVersionString;    // sparkle:shortVersionString, else versionString
    std::optional<std::string> fileURL;  // enclosure url
    std::optional<long long> contentLength;
    std::optional<std::string> contentType;
    std::optional<std::string> releaseNotesURL;       // sparkle:releaseNotesLink
    std::optional<std::string> infoURL;               // <link>
    std::optional<std::string> itemDescription;       // <description>
    std::optional<std::string> dateString;            // <pubDate>
    std::optional<std::string> minimumSystemVersion;  // carried, not enforced

    bool hasVersion() const { return !versionString.empty(); }
    // Where "download" leads: the enclosure, else the item's link.
    std::optional<std::string> downloadURL() const { return fileURL ? fileURL : infoURL; }
};

// An RSS 2.0 update feed with the Sparkle namespace
// (xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle").
class SUAppcast {
public:
    static constexpr std::string_view sparkleNamespace = "http://www.andymatuschak.org/xml-namespaces/sparkle";

    // nullopt (and *error set: SUAppcastParseError) if the text is not well-formed XML or has no
    // <rss><channel>. Items without a version are kept (hasVersion() false).
    static std::optional<SUAppcast> parse(std::string_view xml, NSError* error = nullptr);

    const std::vector<SUAppcastItem>& items() const { return items_; }
    // The item with the highest version (the first of equal ones); nullopt if no item has a version.
    std::optional<SUAppcastItem> newestItem() const;

private:
    std::vector<SUAppcastItem> items_;
};

}  // namespace velunto
