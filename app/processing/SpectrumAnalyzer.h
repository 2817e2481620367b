#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>

#include <fftw3.h>

#include "app/audio/RingBuffer.h"
#include "platform/combine/Published.h"
#include "platform/dispatch/DispatchSourceTimer.h"

namespace velunto {

// 160 logarithmically spaced band levels of the processed voice, refreshed 30 times a second while
// at least one display watches. The capture engine writes the mono signal into the ring; everything
// else happens on the main thread.
class SpectrumAnalyzer : public std::enable_shared_from_this<SpectrumAnalyzer> {
public:
    static constexpr double kSampleRate = 48000;
    static constexpr std::size_t kFFTSize = 4096;
    static constexpr std::size_t kBinCount = kFFTSize / 2;
    static constexpr double kBinWidth = kSampleRate / kFFTSize;  // 11.71875 Hz
    static constexpr std::size_t kBandCount = 160;
    static constexpr float kFloor = -90;
    static constexpr float kFallOff = 1.5;  // dB per update
    static constexpr std::size_t kRingCapacity = 16384;
    static constexpr std::chrono::nanoseconds kUpdateInterval{1'000'000'000 / 30};

    using Levels = std::array<float, kBandCount>;

    static std::shared_ptr<SpectrumAnalyzer> make();
    ~SpectrumAnalyzer();
    SpectrumAnalyzer(const SpectrumAnalyzer&) = delete;
    SpectrumAnalyzer& operator=(const SpectrumAnalyzer&) = delete;

    // In dB, lowest band first; the floor at rest.
    Published<Levels> levels{restingLevels()};

    // The capture engine's analysis ring; it is the only writer.
    RingBuffer* ringBuffer() const { return ringBuffer_; }

    // A display calls addClient when it becomes visible and removeClient when it goes away.
    void addClient();
    void removeClient();
    int clientCount() const { return clientCount_; }
    bool isUpdating() const { return timer_ != nullptr; }

    // Band centres in Hz and the display tilt in dB (+3 dB per octave, 0 at 1 kHz).
    const std::array<float, kBandCount>& bandCenters() const { return binCenters_; }
    const std::array<float, kBandCount>& bandTilts() const { return binTilts_; }
    // The latest 4096 input samples, oldest first.
    const float* history() const { return history_; }

    // One update: the timer's action.
    void tick();

    // Magnitude of each bin of the last update, 1.0 for a full-scale sine centred on a bin.
    const float* magnitudes() const { return magnitudes_; }
    // Level in dB of the band centred on the given frequency, from the current magnitudes.
    float bandLevel(float centerHz) const;

private:
    // Where a band reads the magnitudes: the largest bin of [first, last], or, for a band narrower
    // than one bin, bins first and first + 1 weighted by 1 - fraction and fraction.
    struct BandSpan {
        std::size_t first = 0;
        std::size_t last = 0;
        bool interpolated = false;
        float fraction = 0;
    };
    static BandSpan bandSpan(float centerHz);
    float level(const BandSpan& span) const;

    SpectrumAnalyzer();
    static Levels restingLevels();
    void computeSpectrum();

    RingBuffer* ringBuffer_ = nullptr;
    fftwf_plan fftSetup_ = nullptr;
    // One allocation (FFTW-aligned) holds the buffers below.
    float* window_ = nullptr;            // kFFTSize, Hann, peak 1.0
    float* history_ = nullptr;           // kFFTSize
    float* readScratch_ = nullptr;       // kRingCapacity
    float* windowed_ = nullptr;          // kFFTSize, the transform's input
    float* magnitudes_ = nullptr;        // kBinCount
    fftwf_complex* spectrum_ = nullptr;  // kBinCount + 1, the transform's output
    std::array<float, kBandCount> binCenters_{};
    std::array<float, kBandCount> binTilts_{};
    std::array<BandSpan, kBandCount> spans_{};
    std::shared_ptr<DispatchSourceTimer> timer_;
    int clientCount_ = 0;
};

}  // namespace velunto
