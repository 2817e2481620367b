#include "platform/foundation/UserDefaults.h"
#include "platform/oslog/LogCapture.h"

#include "tests/platform/foundation/TemporaryDirectory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace velunto {
namespace {

constexpr const char* domain = "app.velunto.concurrency";

#ifdef VELUNTO_TSAN
constexpr int writesPerThread = 100;
#else
constexpr int writesPerThread = 400;
#endif

TEST(UserDefaultsConcurrency, WritersOnDifferentKeysLoseNothing) {
    TemporaryDirectory directory;
    {
        const auto defaults = UserDefaults::persistent(domain, directory.path());
        const auto writer = [&](const std::string& prefix) {
            for (int i = 0; i < writesPerThread; ++i)
                defaults->set(prefix + std::to_string(i), i);
        };
        std::atomic<bool> writing{true};
        std::thread first(writer, "first.");
        std::thread second(writer, "second.");
        std::thread reader([&] {
            // Values appear in order per writer: once "first.N" is visible, so is every earlier one.
            while (writing) {
                for (int i = writesPerThread - 1; i >= 0; --i) {
                    if (defaults->object("first." + std::to_string(i))) {
                        for (int j = 0; j < i; ++j)
                            ASSERT_EQ(defaults->integer("first." + std::to_string(j)), j);
                        break;
                    }
                }
            }
        });
        first.join();
        second.join();
        writing = false;
        reader.join();
    }
    const auto reopened = UserDefaults::persistent(domain, directory.path());
    for (int i = 0; i < writesPerThread; ++i) {
        EXPECT_EQ(reopened->object("first." + std::to_string(i)), PropertyListValue(i));
        EXPECT_EQ(reopened->object("second." + std::to_string(i)), PropertyListValue(i));
    }
}

TEST(UserDefaultsConcurrency, SetAndRemoveOfOneKeyEndWithTheLastWrite) {
    TemporaryDirectory directory;
    LogCapture capture;
    {
        const auto defaults = UserDefaults::persistent(domain, directory.path());
        std::vector<std::thread> threads;
        for (int t = 0; t < 3; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < writesPerThread / 4; ++i) {
                    if ((i + t) % 3 == 0) {
                        defaults->removeObject("shared");
                    } else {
                        defaults->set("shared", PropertyListValue::Array{t, i});
                    }
                    (void)defaults->array("shared");
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
        defaults->set("shared", "final");
    }
    EXPECT_EQ(UserDefaults::persistent(domain, directory.path())->string("shared"), "final");
    EXPECT_TRUE(capture.entries().empty());
}

}  // namespace
}  // namespace velunto
