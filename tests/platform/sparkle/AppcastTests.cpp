#include "platform/sparkle/SUAppcast.h"
#include "tests/platform/sparkle/AppcastFeed.h"

#include <gtest/gtest.h>

namespace velunto {
namespace {

TEST(SUAppcastTest, PicksNewestOfUnorderedItems) {
    const auto appcast = SUAppcast::parse(
        appcastFeed({appcastItem("1.9"), appcastItem("1.10", "1.10 beta"), appcastItem("1.2"), appcastItem("1.10")}));
    ASSERT_TRUE(appcast.has_value());
    ASSERT_EQ(appcast->items().size(), 4u);
    const auto newest = appcast->newestItem();
    ASSERT_TRUE(newest.has_value());
    EXPECT_EQ(newest->versionString, "1.10");
    EXPECT_EQ(newest->displayVersionString, "1.10 beta");  // the first of equal versions
    EXPECT_EQ(newest->fileURL, "https://example.org/Velunto-1.10.zip");
    EXPECT_EQ(newest->contentLength, 1234);
    EXPECT_EQ(newest->contentType, "application/octet-stream");
    EXPECT_EQ(newest->title, "Velunto 1.10 beta");
}

TEST(SUAppcastTest, ReadsVersionsFromElementOrEnclosure) {
    const auto appcast = SUAppcast::parse(appcastFeed({
        R"(<item><title>A</title><link>https://example.org/a</link>
             <sparkle:releaseNotesLink> https://example.org/notes </sparkle:releaseNotesLink>
             <sparkle:minimumSystemVersion>12.0</sparkle:minimumSystemVersion>
             <enclosure url="https://example.org/a.zip" sparkle:version="7" sparkle:shortVersionString="0.7"/></item>)",
        R"(<item><sparkle:version>9</sparkle:version>
             <enclosure url="https://example.org/b.zip" sparkle:version="8" sparkle:shortVersionString="0.8"/></item>)",
        R"(<item><title>No enclosure</title><sparkle:version>3</sparkle:version><link>https://example.org/c</link>
             <other:version xmlns:other="urn:other">99</other:version></item>)",
    }));
    ASSERT_TRUE(appcast.has_value());
    const auto& items = appcast->items();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].versionString, "7");
    EXPECT_EQ(items[0].displayVersionString, "0.7");
    EXPECT_EQ(items[0].releaseNotesURL, "https://example.org/notes");
    EXPECT_EQ(items[0].minimumSystemVersion, "12.0");
    EXPECT_EQ(items[0].downloadURL(), "https://example.org/a.zip");
    EXPECT_EQ(items[1].versionString, "9");  // the element wins over the attribute
    EXPECT_EQ(items[1].displayVersionString, "0.8");
    EXPECT_EQ(items[2].versionString, "3");  // other namespaces are ignored
    EXPECT_EQ(items[2].displayVersionString, "3");
    EXPECT_EQ(items[2].downloadURL(), "https://example.org/c");
    EXPECT_EQ(appcast->newestItem()->versionString, "9");
}

TEST(SUAppcastTest, KeepsItemsWithoutVersionButNeverPicksThem) {
    const auto appcast = SUAppcast::parse(appcastFeed({"<item><title>Old</title></item>"}));
    ASSERT_TRUE(appcast.has_value());
    ASSERT_EQ(appcast->items().size(), 1u);
    EXPECT_FALSE(appcast->items()[0].hasVersion());
    EXPECT_FALSE(appcast->newestItem().has_value());

    const auto mixed = SUAppcast::parse(appcastFeed({"<item/>", appcastItem("2")}));
    ASSERT_TRUE(mixed.has_value());
    EXPECT_EQ(mixed->newestItem()->versionString, "2");
}

TEST(SUAppcastTest, AcceptsChannelWithoutItems) {
    const auto appcast = SUAppcast::parse(appcastFeed({}));
    ASSERT_TRUE(appcast.has_value());
    EXPECT_TRUE(appcast->items().empty());
}

TEST(SUAppcastTest, RejectsWhatIsNotAnRssChannel) {
    const std::string inputs[] = {
        "",
        "not xml at all",
        appcastFeed({appcastItem("1")}).substr(0, 150),         // truncated
        "<rss><channel><item></channel></rss>",                 // mismatched tags
        "<feed xmlns=\"http://www.w3.org/2005/Atom\"></feed>",  // not RSS
        "<rss version=\"2.0\"></rss>",                          // no channel
    };
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        NSError error;
        EXPECT_FALSE(SUAppcast::parse(input, &error).has_value());
        EXPECT_EQ(error.domain, SUSparkleErrorDomain);
        EXPECT_EQ(error.code, SUAppcastParseError);
        EXPECT_NE(error.localizedDescription.find("Update-Informationen"), std::string::npos);
    }
}

}  // namespace
}  // namespace velunto
