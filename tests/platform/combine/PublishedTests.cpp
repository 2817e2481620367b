#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/combine/AnyCancellable.h"
#include "platform/combine/Published.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/VirtualTime.h"

namespace velunto {
namespace {

struct NotComparable {
    int value = 0;
};

template <class Options>
concept HasRemoveDuplicates = requires(Options o) {
    o.removeDuplicates;
};
static_assert(HasRemoveDuplicates<Published<int>::SinkOptions>);
static_assert(!HasRemoveDuplicates<Published<NotComparable>::SinkOptions>,
              "removeDuplicates must not compile for a type without operator==");

class PublishedTest : public ::testing::Test {
protected:
    VirtualTime time;
    Published<int> level{0};
    std::vector<int> received;
    std::vector<AnyCancellable> tokens;
};

TEST_F(PublishedTest, DeliversTheCurrentValueOnSubscriptionUnlessAskedNotTo) {
    level = 5;
    auto withInitial = level.sink([&](const int& v) { received.push_back(v); });
    std::vector<int> quiet;
    auto withoutInitial = level.sink([&](const int& v) { quiet.push_back(v); }, {.initial = false});
    EXPECT_EQ(received, (std::vector<int>{5}));
    EXPECT_TRUE(quiet.empty());

    level.set(6);
    EXPECT_EQ(received, (std::vector<int>{5, 6}));
    EXPECT_EQ(quiet, (std::vector<int>{6}));
    EXPECT_EQ(level.value(), 6);
}

TEST_F(PublishedTest, WillSetSeesOldAndNewBeforeTheStoreAndSinksSeeTheStoredValue) {
    std::vector<std::string> log;
    level
        .willSet([&](const int& oldValue, const int& newValue) {
            log.push_back("will " + std::to_string(oldValue) + "->" + std::to_string(newValue) + " stored " +
                          std::to_string(level.value()));
        })
        .store(tokens);
    level
        .sink(
            [&](const int& v) {
                log.push_back("did " + std::to_string(v) + " stored " + std::to_string(level.value()));
            },
            {.initial = false})
        .store(tokens);

    level = 3;

    EXPECT_EQ(log, (std::vector<std::string>{"will 0->3 stored 0", "did 3 stored 3"}));
}

TEST_F(PublishedTest, QueueSubscribersGetCopiesTakenAtSetTimeInOrderOnTheirQueue) {
    DispatchQueue ui("app.velunto.ui");
    bool alwaysOnQueue = true;
    level
        .sink(ui,
              [&](const int& v) {
                  alwaysOnQueue = alwaysOnQueue && ui.isCurrent();
                  received.push_back(v);
              })
        .store(tokens);
    level = 1;
    level = 2;
    level = 3;
    EXPECT_TRUE(received.empty()) << "nothing is delivered synchronously, not even the initial value";

    time.runUntilIdle();

    EXPECT_EQ(received, (std::vector<int>{0, 1, 2, 3}));
    EXPECT_TRUE(alwaysOnQueue);
}

TEST_F(PublishedTest, CancelledSubscriberGetsNothingMoreNotEvenQueuedDeliveries) {
    DispatchQueue ui("app.velunto.ui");
    auto token = level.sink(ui, [&](const int& v) { received.push_back(v); });
    std::vector<int> sync;
    std::optional<AnyCancellable> syncToken = level.sink([&](const int& v) { sync.push_back(v); });
    int willSetCalls = 0;
    auto willSetToken = level.willSet([&](const int&, const int&) { ++willSetCalls; });
    level = 1;
    token.cancel();
    syncToken.reset();
    willSetToken.cancel();
    level = 2;

    time.runUntilIdle();

    EXPECT_TRUE(received.empty());
    EXPECT_EQ(sync, (std::vector<int>{0, 1}));
    EXPECT_EQ(willSetCalls, 1);
}

TEST_F(PublishedTest, RemoveDuplicatesSkipsValuesEqualToThePreviousOne) {
    DispatchQueue ui("app.velunto.ui");
    std::vector<int> async;
    level.sink([&](const int& v) { received.push_back(v); }, {.initial = false, .removeDuplicates = true})
        .store(tokens);
    level.sink(ui, [&](const int& v) { async.push_back(v); }, {.removeDuplicates = true}).store(tokens);
    std::vector<int> all;
    level.sink([&](const int& v) { all.push_back(v); }, {.initial = false}).store(tokens);

    for (int v : {0, 1, 1, 2, 2, 1})
        level = v;
    time.runUntilIdle();

    EXPECT_EQ(received, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(async, (std::vector<int>{0, 1, 2, 1}));
    EXPECT_EQ(all, (std::vector<int>{0, 1, 1, 2, 2, 1}));
}

TEST_F(PublishedTest, SubscribersMayCancelThemselvesOrOthersAndSubscribeFromCallbacks) {
    std::optional<AnyCancellable> self;
    std::optional<AnyCancellable> victim;
    std::optional<AnyCancellable> late;
    std::vector<int> victimGot;
    std::vector<int> lateGot;
    self = level.sink(
        [&](const int& v) {
            received.push_back(v);
            if (v == 2) {
                self->cancel();
                victim->cancel();
                late = level.sink([&](const int& w) { lateGot.push_back(w); });
            }
        },
        {.initial = false});
    victim = level.sink([&](const int& v) { victimGot.push_back(v); }, {.initial = false});

    level = 1;
    level = 2;
    level = 3;

    EXPECT_EQ(received, (std::vector<int>{1, 2}));
    EXPECT_EQ(victimGot, (std::vector<int>{1})) << "cancelled before its turn in the same set()";
    EXPECT_EQ(lateGot, (std::vector<int>{2, 3}));
}

TEST_F(PublishedTest, TokensMayOutliveThePublished) {
    AnyCancellable token;
    {
        Published<std::string> name("a");
        token = name.sink([&](const std::string&) { received.push_back(0); });
    }
    token.cancel();
    EXPECT_EQ(received.size(), 1u);
}

TEST_F(PublishedTest, WorksForTypesWithoutEquality) {
    Published<NotComparable> thing;
    auto token = thing.sink([&](const NotComparable& t) { received.push_back(t.value); });
    thing = NotComparable{4};
    EXPECT_EQ(received, (std::vector<int>{0, 4}));
}

TEST(AnyCancellableTest, MovingTransfersTheSubscriptionAndAssignmentCancelsTheOldOne) {
    int cancelledA = 0;
    int cancelledB = 0;
    AnyCancellable a([&] { ++cancelledA; });
    AnyCancellable moved(std::move(a));
    a.cancel();
    EXPECT_EQ(cancelledA, 0) << "a moved-from token owns nothing";

    moved = AnyCancellable([&] { ++cancelledB; });
    EXPECT_EQ(cancelledA, 1);
    moved.cancel();
    moved.cancel();
    EXPECT_EQ(cancelledB, 1);

    std::vector<AnyCancellable> set;
    AnyCancellable([&] { ++cancelledA; }).store(set);
    EXPECT_EQ(cancelledA, 1);
    set.clear();
    EXPECT_EQ(cancelledA, 2);
}

}  // namespace
}  // namespace velunto
