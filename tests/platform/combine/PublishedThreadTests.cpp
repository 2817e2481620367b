#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "platform/combine/Published.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"

namespace velunto {
namespace {

using namespace std::chrono_literals;

// The owner sets values on its queue while another thread subscribes and cancels.
TEST(PublishedThreads, SubscribingAndCancellingFromAnotherThreadWhileTheOwnerSets) {
    DispatchQueue owner("app.velunto.test.owner");
    DispatchQueue ui("app.velunto.test.ui");
    Published<int> counter(0);
    constexpr int kLast = 2000;

    DispatchSemaphore sawLast(0);
    std::vector<int> steady;  // touched only on ui
    auto steadyToken = counter.sink(ui, [&](const int& v) {
        steady.push_back(v);
        if (v == kLast)
            sawLast.signal();
    });

    constexpr int kRounds = 100;
    std::atomic<bool> ordered{true};
    std::vector<std::shared_ptr<std::atomic<int>>> deliveries;
    std::vector<int> atCancel;
    std::thread subscriber([&] {
        for (int round = 0; round < kRounds; ++round) {
            auto count = std::make_shared<std::atomic<int>>(0);
            auto last = std::make_shared<int>(-1);  // touched only on ui
            auto token = counter.sink(ui, [&ordered, count, last](const int& v) {
                ++*count;
                if (v < *last)
                    ordered = false;
                *last = v;
            });
            std::this_thread::yield();
            token.cancel();
            ui.sync([] {});  // a delivery that started before the cancel has finished
            deliveries.push_back(count);
            atCancel.push_back(count->load());
        }
    });
    for (int i = 1; i <= kLast; ++i)
        owner.async([&counter, i] { counter = i; });
    subscriber.join();

    ASSERT_EQ(sawLast.wait(DispatchTime::now() + 20s), DispatchTimeoutResult::success);
    EXPECT_TRUE(ordered);
    owner.sync([] {});
    ui.sync([] {});
    for (int round = 0; round < kRounds; ++round) {
        EXPECT_EQ(deliveries[static_cast<std::size_t>(round)]->load(), atCancel[static_cast<std::size_t>(round)]);
    }
    ui.sync([&] {
        ASSERT_EQ(steady.size(), static_cast<std::size_t>(kLast + 1));
        for (std::size_t i = 0; i < steady.size(); ++i)
            EXPECT_EQ(steady[i], static_cast<int>(i));
    });
}

}  // namespace
}  // namespace velunto
