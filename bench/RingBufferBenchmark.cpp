// Bulk transfer of 512-sample blocks from one thread to another through the sample ring, against
// boost::lockfree::spsc_queue doing the same transfer, and a single-thread memcpy of the same volume.
#include "app/audio/RingBuffer.h"

#include <benchmark/benchmark.h>
#include <boost/lockfree/spsc_queue.hpp>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kBlock = 512;
constexpr std::size_t kSamplesPerIteration = std::size_t{1} << 22;  // 4 Mi samples
constexpr std::size_t kRequestedCapacity = 48000;                   // as in the pipeline: 65536 slots

template <class Push, class Pop>
void transfer(Push push, Pop pop) {
    std::thread writer([&] {
        std::vector<float> block(kBlock, 0.25f);
        std::size_t sent = 0;
        while (sent < kSamplesPerIteration) {
            const std::size_t n = push(block.data(), kBlock);
            sent += n;
            if (n == 0) {
                std::this_thread::yield();
            }
        }
    });
    std::vector<float> block(kBlock);
    std::size_t received = 0;
    while (received < kSamplesPerIteration) {
        const std::size_t n = pop(block.data(), kBlock);
        received += n;
        if (n == 0) {
            std::this_thread::yield();
        }
    }
    benchmark::DoNotOptimize(block.data());
    writer.join();
}

void BM_RingBufferTwoThreads(benchmark::State& state) {
    RingBuffer* ring = RingBufferCreate(kRequestedCapacity);
    for (auto _ : state) {
        transfer([ring](const float* s, std::size_t n) { return RingBufferWrite(ring, s, n); },
                 [ring](float* d, std::size_t n) { return RingBufferRead(ring, d, n); });
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration * sizeof(float)));
    RingBufferFree(ring);
}
BENCHMARK(BM_RingBufferTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BoostSpscQueueTwoThreads(benchmark::State& state) {
    boost::lockfree::spsc_queue<float> queue(65536);
    for (auto _ : state) {
        transfer([&queue](const float* s, std::size_t n) { return queue.push(s, n); },
                 [&queue](float* d, std::size_t n) { return queue.pop(d, n); });
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration * sizeof(float)));
}
BENCHMARK(BM_BoostSpscQueueTwoThreads)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same volume copied block by block through a 65536-sample buffer on one thread (stays in cache).
void BM_MemcpySingleThread(benchmark::State& state) {
    std::vector<float> source(kBlock, 0.25f);
    std::vector<float> middle(65536);
    std::vector<float> destination(kBlock);
    for (auto _ : state) {
        std::size_t pos = 0;
        for (std::size_t done = 0; done < kSamplesPerIteration; done += kBlock) {
            std::memcpy(middle.data() + pos, source.data(), kBlock * sizeof(float));
            std::memcpy(destination.data(), middle.data() + pos, kBlock * sizeof(float));
            pos = (pos + kBlock) & (middle.size() - 1);
            benchmark::ClobberMemory();
        }
        benchmark::DoNotOptimize(destination.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration * sizeof(float)));
}
BENCHMARK(BM_MemcpySingleThread)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same volume in one memcpy between two buffers of that size (main memory, not cache).
void BM_MemcpyWholeVolume(benchmark::State& state) {
    std::vector<float> source(kSamplesPerIteration, 0.25f);
    std::vector<float> destination(kSamplesPerIteration);
    for (auto _ : state) {
        std::memcpy(destination.data(), source.data(), kSamplesPerIteration * sizeof(float));
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kSamplesPerIteration * sizeof(float)));
}
BENCHMARK(BM_MemcpyWholeVolume)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
