#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/audiounit/AudioUnit.h"

struct soxr;

namespace velunto {

// The two sides an output converter joins: the client format the render callback fills (32-bit
// float) and the device side (32-bit float, interleaved per buffer).
struct OutputConverterFormat {
    double clientRate = 48000.0;
    UInt32 clientChannels = 2;  // 1...8
    bool clientInterleaved = true;
    double deviceRate = 48000.0;
    UInt32 deviceChannels = 2;
    UInt32 maxFramesPerSlice = 4096;  // the largest render call
    UInt32 deviceFramesHint = 512;    // the device's usual cycle: sizes the buffers and the priming
};

// Pulls audio through a render callback in the client format and writes it as device frames. Client
// channel c goes to device channel c, extra device channels stay silent, and a mono device gets the
// mean of the client's channels.
//
// At equal rates each device cycle of N frames is one render call of N frames (split at
// maxFramesPerSlice). At different rates libsoxr converts: every cycle renders a steady
// N * clientRate / deviceRate frames (within one), which keep the client side a fixed look-ahead
// in front of the resampler, so the resampler never has to pull the client in bursts.
class OutputConverter {
public:
    // Allocates every buffer and, when converting, creates and primes the resampler, so that
    // render() neither allocates nor grows anything. nullptr (and a message) if libsoxr refuses.
    static std::unique_ptr<OutputConverter> create(const OutputConverterFormat& format, std::string* error = nullptr);
    ~OutputConverter();
    OutputConverter(const OutputConverter&) = delete;
    OutputConverter& operator=(const OutputConverter&) = delete;

    // Not while render() runs. Without a callback the converter renders silence.
    void setRenderCallback(const AURenderCallbackStruct& callback) { callback_ = callback; }

    // real-time: writes `frames` device frames into `output`, whose buffers hold the device channels in
    // order (interleaved within each buffer; buffers without data or room are skipped). The render
    // callback gets bus 0, sample time = client frames rendered so far, host time = `hostTime`. If any
    // render call of this cycle fails or reports silence, the whole cycle is written as silence and
    // false is returned.
    bool render(UInt32 frames, UInt64 hostTime, AudioBufferList* output);

    const OutputConverterFormat& format() const { return format_; }
    bool resamples() const { return resampler_ != nullptr; }
    // Device frames by which the resampler's look-ahead delays the client's audio (0 at equal rates).
    double latencyFrames() const { return resampler_ ? lookahead_ : 0.0; }
    // Client frames rendered so far.
    std::uint64_t clientFramesRendered() const { return clientFrames_; }

private:
    explicit OutputConverter(const OutputConverterFormat& format);

    bool prime(std::string* error);
    void renderDirect(UInt32 frames);
    void renderResampled(UInt32 frames);
    void fillLookahead(std::uint64_t frames);
    void renderSlice(UInt32 frames, float* destination);
    void scatter(UInt32 frames, AudioBufferList* output, UInt32 frameOffset) const;
    static std::size_t pullInput(void* state, const void** data, std::size_t requested);

    OutputConverterFormat format_;
    UInt32 channels_;     // channels carried from the client to the device side
    UInt32 blockFrames_;  // device frames produced per step
    double ratio_;        // client frames per device frame
    AURenderCallbackStruct callback_{nullptr, nullptr};

    std::vector<float> clientSamples_;
    std::vector<std::byte> clientListStorage_;
    AudioBufferList* clientList_ = nullptr;
    std::vector<float> staging_;  // one block of device frames, channels_ interleaved

    soxr* resampler_ = nullptr;
    std::vector<float> lookaheadSamples_;  // client frames rendered but not yet taken by the resampler
    std::size_t lookaheadBegin_ = 0;
    std::size_t lookaheadEnd_ = 0;
    std::size_t lookaheadCapacity_ = 0;
    std::uint64_t supplied_ = 0;  // frames ever given to the resampler's input side, priming included
    std::uint64_t produced_ = 0;  // device frames ever taken from it, priming included
    double lookahead_ = 0.0;      // device frames

    bool priming_ = false;
    bool cycleFailed_ = false;
    UInt64 hostTime_ = 0;
    std::uint64_t clientFrames_ = 0;
};

}  // namespace velunto
