// The loop-back ring with a real writer and reader thread, under ThreadSanitizer. The threads pace each
// other through relaxed counters only, so any ordering the reader relies on comes from the driver.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "tests/mic-driver/MicDriverTestSupport.h"

using namespace velunto;

namespace {

constexpr UInt32 kFrames = 512;
constexpr int kCycles = 4000;
constexpr int kReaderLagCycles = 4;    // the reader reads this far behind the writer's newest cycle
constexpr int kWriterLeadCycles = 24;  // at most this many cycles ahead of the reader (24 × 512 < 16384)

// Frame t carries t + 1 in both channels (exact in a float for every time used here).
float encode(SInt64 t) {
    return static_cast<float>(t + 1);
}

TEST(MicDriverRing, ConcurrentWriterAndReaderNeverSeeATornOrMisplacedFrame) {
    RecordingHost host;
    const MicDriver mic = openMicDriver(&VeluntoMic_Create, host.ref());
    ASSERT_NE(mic.ref, nullptr);
    std::atomic<int> written{0};
    std::atomic<int> read{0};
    std::atomic<bool> failed{false};
    long long dataFrames = 0, silentFrames = 0, torn = 0, misplaced = 0;

    std::thread writer([&] {
        std::vector<StereoFrame> buffer(kFrames);
        for (int cycle = 0; cycle < kCycles && !failed.load(std::memory_order_relaxed); ++cycle) {
            while (cycle - read.load(std::memory_order_relaxed) > kWriterLeadCycles &&
                   !failed.load(std::memory_order_relaxed))
                std::this_thread::yield();
            const SInt64 start = SInt64{cycle} * kFrames;
            for (UInt32 i = 0; i < kFrames; ++i)
                buffer[i] = {encode(start + i), encode(start + i)};
            if (writeFeed(mic, static_cast<Float64>(start), buffer) != 0)
                failed = true;
            written.store(cycle + 1, std::memory_order_relaxed);
        }
    });
    std::thread reader([&] {
        std::vector<StereoFrame> buffer(kFrames);
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            while (written.load(std::memory_order_relaxed) < std::min(cycle + kReaderLagCycles, kCycles) &&
                   !failed.load(std::memory_order_relaxed))
                std::this_thread::yield();
            // Each read straddles the writer's cycles: some frames old, some possibly being written.
            const SInt64 start = SInt64{cycle} * kFrames + kFrames / 2;
            if (readMic(mic, static_cast<Float64>(start), buffer) != 0)
                failed = true;
            for (UInt32 i = 0; i < kFrames; ++i) {
                const StereoFrame frame = buffer[i];
                if (frame.left != frame.right) {
                    ++torn;
                } else if (frame.left == 0) {
                    ++silentFrames;
                } else {
                    // The frame of time t, or a newer one on the same ring slot if the writer has lapped it;
                    // never an older one.
                    const SInt64 t = start + i;
                    const SInt64 found = static_cast<SInt64>(frame.left) - 1;
                    if (found < t || (found - t) % kVeluntoMicRingFrames != 0)
                        ++misplaced;
                    ++dataFrames;
                }
            }
            read.store(cycle + 1, std::memory_order_relaxed);
        }
    });
    writer.join();
    reader.join();

    EXPECT_FALSE(failed.load());
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(misplaced, 0);
    // The reader ran behind the writer: nearly every frame it read had been written.
    EXPECT_GT(dataFrames, static_cast<long long>(kCycles) * kFrames / 2);
    EXPECT_EQ(dataFrames + silentFrames, static_cast<long long>(kCycles) * kFrames);
}

}  // namespace
