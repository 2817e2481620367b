#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/corefoundation/MacTypes.h"

namespace velunto {

// The filter shapes of the audio engine's EQ unit, with the platform's values. Every shape is an RBJ
// cookbook biquad:
//   parametric          peaking EQ, width from the bandwidth in octaves, uses the gain
//   lowPass, highPass   Butterworth, Q = 1/sqrt(2); bandwidth and gain are ignored
//   resonantLowPass/HighPass   Q from the bandwidth (1/Q = 2 sinh(ln 2 / 2 * bandwidth)); a narrow
//                       bandwidth gives a resonant peak at the corner
//   bandPass, bandStop  constant 0 dB peak band pass and notch, width from the bandwidth
//   lowShelf, highShelf shelf slope S = 1; bandwidth ignored, uses the gain
//   resonantLowShelf/HighShelf  shelves with Q from the bandwidth as for the resonant passes
// Values outside this list are designed as parametric.
enum class EQFilterType : int {
    parametric = 0,
    lowPass = 1,
    highPass = 2,
    resonantLowPass = 3,
    resonantHighPass = 4,
    bandPass = 5,
    bandStop = 6,
    lowShelf = 7,
    highShelf = 8,
    resonantLowShelf = 9,
    resonantHighShelf = 10,
};

// One band as the EQ unit exposes it. A new band is bypassed, as on the platform, so that an EQ
// with untouched bands passes its input unchanged.
struct EQBandParameters {
    EQFilterType filterType = EQFilterType::parametric;
    float frequency = 1000.0f;  // Hz; designed within 10 Hz ... 0.49 x sample rate
    float gain = 0.0f;          // dB, -96 ... 24
    float bandwidth = 1.0f;     // octaves, 0.05 ... 5
    bool bypass = true;

    bool operator==(const EQBandParameters&) const = default;
};

// The DSP core of the multi-band EQ unit: a cascade of biquads (one per band) and a global gain, on
// non-interleaved float channels, in place.
//
// Parameters are set from any non-real-time thread (setters are serialised by a mutex that the audio
// thread never takes). Each change designs the band's coefficients in double precision and hands the
// whole set to the audio thread through a triple buffer: the newest set wins, nothing is allocated
// and nobody waits. The audio thread moves to new coefficients by per-sample linear interpolation
// over kSmoothingSeconds (the stable region of a biquad's denominator is convex, so every
// intermediate filter is stable); bypassing a band or the whole EQ crossfades between its input and
// its output over the same time, and the global gain ramps likewise.
//
// Filters are Direct Form I with double state per channel and band. DF I keeps the signal's own
// history as state, which stays meaningful while coefficients move, and lets a bypassed band carry
// its input history so that it can fade back in without a transient; double state keeps the
// recursion's rounding noise far below float resolution even for 10 Hz corners at high rates.
class EQFilterBank {
public:
    static constexpr double kSmoothingSeconds = 0.01;
    static constexpr float kMinGain = -96.0f;
    static constexpr float kMaxGain = 24.0f;
    static constexpr float kMinBandwidth = 0.05f;
    static constexpr float kMaxBandwidth = 5.0f;
    static constexpr double kMinFrequency = 10.0;
    static constexpr double kMaxFrequencyRatio = 0.49;  // of the sample rate
    static constexpr double kDefaultSampleRate = 48000.0;

    explicit EQFilterBank(std::size_t bandCount);
    EQFilterBank(const EQFilterBank&) = delete;
    EQFilterBank& operator=(const EQFilterBank&) = delete;

    std::size_t bandCount() const { return bandCount_; }

    // Setters clamp gain and bandwidth to their ranges and ignore non-finite values; the frequency is
    // kept as given (if finite and positive) and clamped when the coefficients are designed, since
    // its upper limit depends on the sample rate. A band index out of range throws std::out_of_range.
    void setBand(std::size_t band, const EQBandParameters& parameters);
    void setFilterType(std::size_t band, EQFilterType type);
    void setFrequency(std::size_t band, float hertz);
    void setGain(std::size_t band, float decibels);
    void setBandwidth(std::size_t band, float octaves);
    void setBypass(std::size_t band, bool bypass);
    EQBandParameters band(std::size_t band) const;

    void setGlobalGain(float decibels);  // -96 ... 24 dB, default 0
    float globalGain() const;
    void setGlobalBypass(bool bypass);  // default false
    bool globalBypass() const;

    // Not while process() runs. Sizes the state for `channels` channels and the scratch for slices of
    // `maxFrames`, redesigns every band for `sampleRate` and starts from silence with no ramps pending.
    // Before the first prepare() coefficients are designed for kDefaultSampleRate.
    void prepare(double sampleRate, UInt32 channels, UInt32 maxFrames);
    double sampleRate() const;

    // Any thread: the filter history is cleared at the start of the next process() call, and ramps in
    // progress jump to their ends.
    void reset();

    // real-time: filters `frames` frames of the prepared number of channels in place. Longer calls than
    // maxFrames are processed in slices. Does nothing before prepare().
    void process(float* const* channels, UInt32 frames);

    // The response of the current settings in dB at `frequencyHz`: the cascade of the bands that are
    // not bypassed, plus the global gain; 0 dB while the whole EQ is bypassed.
    double magnitudeResponseDB(double frequencyHz) const;

private:
    struct Biquad {
        double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;  // a0 normalised to 1
        bool operator==(const Biquad&) const = default;
    };
    struct BandTarget {
        Biquad coefficients;
        bool active = false;  // not bypassed
    };
    // What the audio thread moves towards; three of these form the triple buffer.
    struct Snapshot {
        std::vector<BandTarget> bands;
        double globalGain = 1.0;  // linear
        bool active = true;       // not globally bypassed
    };
    // A value that reaches `target` linearly, `framesLeft` samples after the end of the last slice.
    struct Ramp {
        double current = 0.0;
        double target = 0.0;
        double step = 0.0;
        UInt32 framesLeft = 0;

        double at(UInt32 i) const { return i + 1 >= framesLeft ? target : current + step * static_cast<double>(i + 1); }
        bool settled() const { return framesLeft == 0; }
        void moveTo(double value, UInt32 length);
        void advance(UInt32 frames);
        void snap();
    };
    struct CoefficientRamp {
        Biquad current;
        Biquad target;
        Biquad step;
        UInt32 framesLeft = 0;

        Biquad at(UInt32 i) const;
        bool settled() const { return framesLeft == 0; }
        void moveTo(const Biquad& value, UInt32 length);
        void advance(UInt32 frames);
        void snap();
    };
    struct BandRamps {
        CoefficientRamp coefficients;
        Ramp mix;  // 0 bypassed ... 1 filtering
    };
    struct FilterState {
        double x1 = 0.0, x2 = 0.0, y1 = 0.0, y2 = 0.0;
    };

    static Biquad design(const EQBandParameters& parameters, double sampleRate);
    static void runBand(const BandRamps& ramps, FilterState& state, float* samples, UInt32 frames);
    static void carryHistory(FilterState& state, const float* samples, UInt32 frames);

    void checkBand(std::size_t band) const;
    void store(std::size_t band, const EQBandParameters& parameters);  // mutex_ held
    template <typename Change>
    void modifyBand(std::size_t band, Change change) {
        std::lock_guard lock(mutex_);
        checkBand(band);
        EQBandParameters p = parameters_[band];
        change(p);
        store(band, p);
    }
    void redesign(std::size_t band);
    void publish();
    void takeSnapshot();
    void snapRamps();
    void processSlice(float* const* channels, UInt32 offset, UInt32 frames);

    const std::size_t bandCount_;

    // Control side, guarded by mutex_.
    mutable std::mutex mutex_;
    std::vector<EQBandParameters> parameters_;
    std::vector<BandTarget> targets_;
    float globalGainDB_ = 0.0f;
    bool globalBypass_ = false;
    double sampleRate_ = kDefaultSampleRate;
    unsigned back_ = 2;  // the writer's slot

    // Hand-over: slot index in the low bits, kFresh when the writer left a set the reader has not taken.
    static constexpr unsigned kFresh = 4;
    static constexpr unsigned kIndexMask = 3;
    std::array<Snapshot, 3> slots_;
    std::atomic<unsigned> middle_{1};
    std::atomic<bool> resetRequested_{false};

    // Audio side.
    unsigned front_ = 0;  // the reader's slot
    UInt32 channels_ = 0;
    UInt32 maxFrames_ = 0;
    UInt32 rampFrames_ = 1;
    std::vector<BandRamps> ramps_;
    std::vector<FilterState> states_;  // channel-major: [channel * bandCount_ + band]
    Ramp globalGainRamp_;
    Ramp globalMix_;
    std::vector<float> dry_;  // one channel's input, while the global bypass crossfades
};

}  // namespace velunto
