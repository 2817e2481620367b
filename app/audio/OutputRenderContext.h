#pragma once

#include <atomic>
#include <cstdint>

#include "app/audio/RingBuffer.h"
#include "platform/audiounit/AudioUnit.h"

namespace velunto {

// Everything the output render callback touches besides the ring and the device's buffers. Allocated
// once per engine; its address is the callback's user data and never changes.
struct OutputRenderContext {
    RingBuffer* ringBuffer = nullptr;
    float* scratch = nullptr;  // staging for one callback; also the sink for dropped samples
    std::int64_t scratchCapacity = 4096;
    std::int64_t targetFillFrames = 960;  // 20 ms at 48 kHz
    std::int64_t toleranceFrames = 480;   // half-width of the dead band
    // False once the ring ran dry: the callback then plays silence until the ring holds a callback
    // plus the target, so that the fill starts at the target and not at the band's lower edge, which
    // is where stretching one sample per callback would leave it.
    bool primed = true;
    bool hasPlayed = false;  // a sample reached the device since the engine was made
    // Catching up. One sample per callback follows drifting clocks but takes minutes to work off a
    // backlog (the input delivering at once what piled up while it or the output stalled), and the
    // voice lags the picture that long. When what the callbacks left never fell below the threshold
    // for a whole window of played frames, the next callback skips the excess over the target,
    // crossfading over its own length. Any steady input pattern shows its lowest fill within the
    // window: it is longer than the ring.
    std::int64_t backlogWindowFrames = 24000;    // 0.5 s
    std::int64_t backlogThresholdFrames = 2400;  // 50 ms: 20 ms above the band
    std::int64_t windowMinimum = INT64_MAX;      // least left after a callback in the current window
    std::int64_t windowFrames = 0;               // frames asked for in the current window
    std::int64_t catchUpFrames = 0;              // to skip in the next callback
    // Written by the callback only, read by anyone: callbacks that left a gap once playing had begun (the
    // ring held less than they took), and the samples the band dropped or repeated to follow the clocks.
    std::atomic<std::uint64_t> underruns{0};
    std::atomic<std::uint64_t> droppedSamples{0};
    std::atomic<std::uint64_t> repeatedSamples{0};
    std::atomic<std::uint64_t> catchUps{0};
    std::atomic<std::uint64_t> skippedSamples{0};
};

// Real-time: keeps what remains in the ring after each call inside the band around the target fill:
// above it one sample more is read and dropped, below it one sample is repeated. After the ring ran
// dry it waits, silent, until the ring holds the target again. A standing backlog is skipped at once
// (see above). Returns 0.
OSStatus outputRenderCallback(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                              const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber, UInt32 inNumberFrames,
                              AudioBufferList* ioData);

}  // namespace velunto
