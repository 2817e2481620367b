// Measures how late the machine wakes a real-time thread: one thread per processor, at the audio
// threads' priority, wakes every millisecond and writes "due late" (host nanoseconds) for every
// wake-up later than the threshold. A virtual machine whose host pauses it is late on every
// processor at once; no margin of the audio path's size covers that.
//
//   velunto-stall-probe --seconds N --out FILE [--threshold-ms T]
#include <pthread.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/HostClock.h"
#include "platform/mach/thread_policy.h"

using velunto::HostClock;

namespace {

constexpr std::uint64_t kPeriod = 1'000'000;  // 1 ms

void sleepUntil(std::uint64_t hostNanoseconds) {
    const timespec until{static_cast<time_t>(hostNanoseconds / 1'000'000'000),
                         static_cast<long>(hostNanoseconds % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) != 0) {
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0, thresholdMs = 5;
    std::string out;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string argument = argv[i];
        if (argument == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else if (argument == "--out")
            out = argv[i + 1];
        else if (argument == "--threshold-ms")
            thresholdMs = std::atof(argv[i + 1]);
    }
    FILE* file = out.empty() ? nullptr : std::fopen(out.c_str(), "w");
    if (!(seconds > 0) || !(thresholdMs > 0) || argc % 2 == 0 || !file) {
        std::fprintf(stderr, "Aufruf: velunto-stall-probe --seconds N --out DATEI [--threshold-ms T]\n");
        return 2;
    }
    const auto threshold = static_cast<std::uint64_t>(thresholdMs * 1e6);
    const std::uint64_t end = HostClock::nowNanoseconds() + static_cast<std::uint64_t>(seconds * 1e9);
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    std::mutex fileMutex;
    std::atomic<std::uint64_t> wakeUps{0}, stalls{0}, worst{0};
    std::vector<std::thread> threads;
    for (unsigned cpu = 0; cpu < processors; ++cpu)
        threads.emplace_back([&, cpu] {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(cpu, &set);
            pthread_setaffinity_np(pthread_self(), sizeof set, &set);
            thread_policy_set_time_constraint();
            for (std::uint64_t due = HostClock::nowNanoseconds() + kPeriod; due < end; due += kPeriod) {
                sleepUntil(due);
                const std::uint64_t late = HostClock::nowNanoseconds() - due;
                wakeUps.fetch_add(1);
                std::uint64_t seen = worst.load();
                while (late > seen && !worst.compare_exchange_weak(seen, late)) {
                }
                if (late < threshold)
                    continue;
                stalls.fetch_add(1);
                {
                    std::lock_guard lock(fileMutex);
                    std::fprintf(file, "%llu %llu\n", static_cast<unsigned long long>(due),
                                 static_cast<unsigned long long>(late));
                    std::fflush(file);
                }
                due = HostClock::nowNanoseconds();  // one stall, one line
            }
        });
    for (auto& thread : threads)
        thread.join();
    std::fclose(file);
    std::printf("%llu Weckrufe auf %u Prozessoren, %llu mindestens %.0f ms zu spät, höchstens %.1f ms\n",
                static_cast<unsigned long long>(wakeUps.load()), processors,
                static_cast<unsigned long long>(stalls.load()), thresholdMs, static_cast<double>(worst.load()) / 1e6);
    return 0;
}
