#include "app/audio/OutputRenderContext.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

namespace velunto {

namespace {

// Real-time: nothing is carried into the next window.
void resetWindow(OutputRenderContext& context) {
    context.windowMinimum = INT64_MAX;
    context.windowFrames = 0;
    context.catchUpFrames = 0;
}

// Real-time: plays the next `wanted` samples fading out into the `wanted` that start `excess` later,
// fading in (equal power: the two stretches are unrelated), and continues after the latter.
void catchUp(OutputRenderContext& context, std::int64_t wanted, std::int64_t excess, UInt32 frames,
             AudioBufferList* ioData) {
    float* later = nullptr;
    for (UInt32 b = 0; b < ioData->mNumberBuffers && !later; ++b)
        later = static_cast<float*>(ioData->mBuffers[b].mData);
    const auto count = [](std::int64_t n) { return static_cast<std::uint64_t>(n); };
    RingBufferRead(context.ringBuffer, context.scratch, count(wanted));
    if (!later) {
        RingBufferSkip(context.ringBuffer, count(excess));
    } else if (excess >= wanted) {
        RingBufferSkip(context.ringBuffer, count(excess - wanted));
        RingBufferRead(context.ringBuffer, later, count(wanted));
    } else {
        std::memcpy(later, context.scratch + excess, count(wanted - excess) * sizeof(float));
        RingBufferRead(context.ringBuffer, later + (wanted - excess), count(excess));
    }
    context.catchUps.fetch_add(1, std::memory_order_relaxed);
    context.skippedSamples.fetch_add(count(excess), std::memory_order_relaxed);
    context.hasPlayed = true;
    if (!later)
        return;
    for (std::int64_t i = 0; i < wanted; ++i) {
        const float angle = std::numbers::pi_v<float> / 2 * (static_cast<float>(i) + 0.5f) / static_cast<float>(wanted);
        later[i] = context.scratch[i] * std::cos(angle) + later[i] * std::sin(angle);
    }
    if (wanted < frames)
        std::memset(later + wanted, 0, count(frames - wanted) * sizeof(float));
    for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
        auto* out = static_cast<float*>(ioData->mBuffers[b].mData);
        if (out && out != later)
            std::memcpy(out, later, std::size_t{frames} * sizeof(float));
    }
}

}  // namespace

// Real-time.
OSStatus outputRenderCallback(void* inRefCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                              UInt32 inNumberFrames, AudioBufferList* ioData) {
    if (!ioData)
        return 0;
    auto& context = *static_cast<OutputRenderContext*>(inRefCon);
    const std::int64_t frames = inNumberFrames;
    const std::int64_t wanted = std::min(context.scratchCapacity, frames);
    const auto fill = static_cast<std::int64_t>(RingBufferAvailableToRead(context.ringBuffer));

    // The band applies to what this callback leaves in the ring. Measured before the read, a fill
    // inside the band can be less than one callback takes, and the ring runs dry whenever an input
    // block arrives just after a render.
    const std::int64_t left = fill - wanted;
    if (fill <= 0) {
        if (context.primed && context.hasPlayed)
            context.underruns.fetch_add(1, std::memory_order_relaxed);
        context.primed = false;
    } else if (!context.primed && left >= context.targetFillFrames)
        context.primed = true;
    if (!context.primed) {
        resetWindow(context);
        for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b)
            if (ioData->mBuffers[b].mData)
                std::memset(ioData->mBuffers[b].mData, 0, std::size_t{inNumberFrames} * sizeof(float));
        return 0;
    }
    // A catch-up is due once; the backlog may have gone meanwhile.
    const std::int64_t excess = std::min(context.catchUpFrames, left - context.targetFillFrames);
    context.catchUpFrames = 0;
    if (excess > 0) {
        catchUp(context, wanted, excess, inNumberFrames, ioData);
        resetWindow(context);
        return 0;
    }

    std::int64_t toRead = wanted;
    bool stretch = false;
    if (left > context.targetFillFrames + context.toleranceFrames) {
        toRead = std::min(fill, wanted + 1);
    } else if (fill > 0) {
        stretch = wanted >= 1 && left < context.targetFillFrames - context.toleranceFrames;
        if (stretch)
            toRead = wanted - 1;
    }

    // The scratch holds scratchCapacity samples; a surplus sample beyond it is read into `dropped`.
    const std::int64_t intoScratch = std::min(toRead, context.scratchCapacity);
    auto got = static_cast<std::int64_t>(
        RingBufferRead(context.ringBuffer, context.scratch, static_cast<std::uint64_t>(intoScratch)));
    if (toRead > intoScratch && got == intoScratch) {
        float dropped;
        got += static_cast<std::int64_t>(RingBufferRead(context.ringBuffer, &dropped, 1));
    }
    const std::int64_t copy = std::min(wanted, got);
    stretch = stretch && got < wanted;
    if (context.hasPlayed && copy + (stretch ? 1 : 0) < wanted)
        context.underruns.fetch_add(1, std::memory_order_relaxed);
    if (got > wanted)
        context.droppedSamples.fetch_add(static_cast<std::uint64_t>(got - wanted), std::memory_order_relaxed);
    if (stretch && copy > 0 && copy < frames && copy + 1 == wanted)
        context.repeatedSamples.fetch_add(1, std::memory_order_relaxed);
    if (copy > 0)
        context.hasPlayed = true;
    context.windowMinimum = std::min(context.windowMinimum, fill - got);
    context.windowFrames += frames;
    if (context.windowFrames >= context.backlogWindowFrames) {
        const std::int64_t least = context.windowMinimum;
        resetWindow(context);
        if (least > context.backlogThresholdFrames)
            context.catchUpFrames = least - context.targetFillFrames;
    }

    for (UInt32 b = 0; b < ioData->mNumberBuffers; ++b) {
        auto* out = static_cast<float*>(ioData->mBuffers[b].mData);
        if (!out)
            continue;
        std::int64_t written = copy;
        if (copy > 0)
            std::memcpy(out, context.scratch, static_cast<std::size_t>(copy) * sizeof(float));
        if (stretch && copy > 0 && copy < frames) {
            out[copy] = context.scratch[copy - 1];
            written = copy + 1;
        }
        if (written < frames)
            std::memset(out + written, 0, static_cast<std::size_t>(frames - written) * sizeof(float));
    }
    return 0;
}

}  // namespace velunto
