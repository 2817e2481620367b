#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NotificationCenter.h"

using namespace velunto;

TEST(NotificationCenter, DeliversByNameAndSenderOnTheObserversQueue) {
    VirtualTime time;
    DispatchQueue queue("test.notifications");
    auto& center = NotificationCenter::defaultCenter();
    int a = 0, b = 0;
    std::vector<std::string> heard;
    auto fromA =
        center.addObserver("Changed", &a, queue, [&](const Notification& n) { heard.push_back("a:" + n.name); });
    auto fromAnyone =
        center.addObserver("Changed", nullptr, std::nullopt, [&](const Notification&) { heard.push_back("any"); });

    center.post({"Changed", &b});
    center.post({"Other", &a});
    center.post({"Changed", &a});
    EXPECT_EQ(heard, (std::vector<std::string>{"any", "any"})) << "no queue: at once";
    time.runUntilIdle();
    EXPECT_EQ(heard, (std::vector<std::string>{"any", "any", "a:Changed"}));

    // Removed before its queued delivery runs: never called.
    center.post({"Changed", &a});
    center.removeObserver(fromA);
    center.removeObserver(fromAnyone);
    time.runUntilIdle();
    EXPECT_EQ(heard.size(), 4u);
    center.post({"Changed", &a});
    time.runUntilIdle();
    EXPECT_EQ(heard.size(), 4u);
}

TEST(NSError, GenericDescriptionNamesDomainAndCode) {
    EXPECT_EQ(NSError::withCode("com.apple.coreaudio.avfaudio", -10868).localizedDescription,
              "The operation couldn’t be completed. (com.apple.coreaudio.avfaudio error -10868.)");
}
