#include "platform/corevideo/CVPixelBufferPool.h"

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace velunto {
namespace {

// Threads take and release buffers; no buffer may ever be lent to two holders at once, and the pool
// never exceeds its maximum.
TEST(CVPixelBufferPoolThreads, NeverLendsOneBufferTwice) {
    std::shared_ptr<CVPixelBufferPool> pool;
    ASSERT_EQ(CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 16, 4}, &pool), kCVReturnSuccess);
    pool->setMaximumBufferCount(3);
    std::mutex mutex;
    std::set<std::uint64_t> lent;
    std::atomic<int> doubleLends{0};
    std::atomic<int> taken{0};

    auto worker = [&](int seed) {
        for (int i = 0; i < 3000; ++i) {
            std::shared_ptr<CVPixelBuffer> buffer;
            if (pool->createPixelBuffer(&buffer) != kCVReturnSuccess) {
                std::this_thread::yield();
                continue;
            }
            {
                std::lock_guard lock(mutex);
                if (!lent.insert(buffer->bufferID()).second) {
                    doubleLends.fetch_add(1);
                }
            }
            // Plain writes to the pixels: a buffer handed to two threads at once would race here.
            auto* bytes = static_cast<std::uint8_t*>(buffer->baseAddress());
            bytes[0] = static_cast<std::uint8_t>(seed);
            bytes[1] = static_cast<std::uint8_t>(i);
            if (bytes[0] != static_cast<std::uint8_t>(seed) || bytes[1] != static_cast<std::uint8_t>(i)) {
                doubleLends.fetch_add(1);
            }
            {
                std::lock_guard lock(mutex);
                lent.erase(buffer->bufferID());
            }
            taken.fetch_add(1);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(worker, t);
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(doubleLends.load(), 0);
    EXPECT_GT(taken.load(), 0);
    EXPECT_LE(pool->bufferCount(), 3u);
    EXPECT_EQ(pool->buffersInUse(), 0u);
}

}  // namespace
}  // namespace velunto
