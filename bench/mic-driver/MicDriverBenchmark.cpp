// The driver's I/O path and property entries, called through its interface table from the built library.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdlib>
#include <vector>

#include "mic-driver/VeluntoMicDriver.h"

namespace {

constexpr UInt32 kFrames = 512;

AudioServerPlugInDriverRef openDriver() {
    static AudioServerPlugInDriverRef driver = [] {
        void* library = dlopen(VELUNTO_MIC_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (!library)
            std::abort();
        auto factory = reinterpret_cast<void* (*)(CFAllocatorRef, CFUUIDRef)>(dlsym(library, "VeluntoMic_Create"));
        void* created = factory ? factory(nullptr, kAudioServerPlugInTypeUUID) : nullptr;
        if (!created)
            std::abort();
        auto ref = static_cast<AudioServerPlugInDriverRef>(created);
        if ((*ref)->Initialize(ref, nullptr) != 0)
            std::abort();
        return ref;
    }();
    return driver;
}

void BM_WriteFeed512(benchmark::State& state) {
    const auto driver = openDriver();
    std::vector<float> buffer(kFrames * 2, 0.25f);
    AudioServerPlugInIOCycleInfo cycle{};
    Float64 time = 0;
    for (auto _ : state) {
        cycle.mOutputTime.mSampleTime = time;
        (*driver)->DoIOOperation(driver, kVeluntoMicFeedDeviceID, kVeluntoMicFeedStreamID, 0,
                                 kAudioServerPlugInIOOperationWriteMix, kFrames, &cycle, buffer.data(), nullptr);
        benchmark::ClobberMemory();
        time += kFrames;
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_WriteFeed512);

// Arg 0: every frame inside the window; 1: half past the end (silence); 2: all outside.
void BM_ReadMic512(benchmark::State& state) {
    const auto driver = openDriver();
    std::vector<float> buffer(kFrames * 2, 0.25f);
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mOutputTime.mSampleTime = 1000000;
    (*driver)->DoIOOperation(driver, kVeluntoMicFeedDeviceID, kVeluntoMicFeedStreamID, 0,
                             kAudioServerPlugInIOOperationWriteMix, kFrames, &cycle, buffer.data(), nullptr);
    const Float64 starts[] = {1000000, 1000000 + kFrames / 2, 2000000};
    cycle.mInputTime.mSampleTime = starts[state.range(0)];
    for (auto _ : state) {
        (*driver)->DoIOOperation(driver, kVeluntoMicDeviceID, kVeluntoMicStreamID, 0,
                                 kAudioServerPlugInIOOperationReadInput, kFrames, &cycle, buffer.data(), nullptr);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_ReadMic512)->Arg(0)->Arg(1)->Arg(2);

void BM_GetZeroTimeStamp(benchmark::State& state) {
    const auto driver = openDriver();
    Float64 sampleTime;
    UInt64 hostTime, seed;
    for (auto _ : state) {
        (*driver)->GetZeroTimeStamp(driver, kVeluntoMicDeviceID, 0, &sampleTime, &hostTime, &seed);
        benchmark::DoNotOptimize(sampleTime);
    }
}
BENCHMARK(BM_GetZeroTimeStamp);

// Arg: the selector, on the object that has it.
void BM_GetPropertyData(benchmark::State& state) {
    const auto driver = openDriver();
    const auto selector = static_cast<AudioObjectPropertySelector>(state.range(0));
    const AudioObjectID object = selector == kAudioStreamPropertyVirtualFormat ? kVeluntoMicStreamID
                                 : selector == kAudioPlugInPropertyDeviceList  ? kVeluntoMicPlugInID
                                                                               : kVeluntoMicDeviceID;
    const AudioObjectPropertyAddress address{selector, kAudioObjectPropertyScopeGlobal,
                                             kAudioObjectPropertyElementMain};
    alignas(8) unsigned char value[64];
    for (auto _ : state) {
        UInt32 size = 0;
        (*driver)->GetPropertyData(driver, object, 0, &address, 0, nullptr, sizeof value, &size, value);
        benchmark::DoNotOptimize(size);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_GetPropertyData)
    ->Arg(kAudioDevicePropertyNominalSampleRate)
    ->Arg(kAudioDevicePropertyDeviceIsRunning)
    ->Arg(kAudioObjectPropertyName)
    ->Arg(kAudioPlugInPropertyDeviceList)
    ->Arg(kAudioStreamPropertyVirtualFormat);

}  // namespace

BENCHMARK_MAIN();
