#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/processing/PluginLatencyMeasurement.h"
#include "app/processing/PreProcessingRecorder.h"
#include "platform/avaudio/AVAudioUnit.h"
#include "platform/combine/Published.h"

namespace velunto {

// Measures the true delay of the chosen effect without touching the live audio path: four seconds of
// the unprocessed voice are rendered offline through a private instance of the same plug-in, active
// and bypassed, and each output is cross-correlated with the input.
class LatencyMeter : public PreProcessingRecordingRequester, public std::enable_shared_from_this<LatencyMeter> {
public:
    class State {
    public:
        enum class Kind { idle, recording, analyzing, done, failed };

        static State idle() { return State(Kind::idle); }
        static State recording() { return State(Kind::recording); }
        static State analyzing() { return State(Kind::analyzing); }
        static State done(PluginLatencyMeasurement measurement);
        static State failed(std::string message);

        Kind kind() const { return kind_; }
        const std::optional<PluginLatencyMeasurement>& measurement() const { return measurement_; }
        const std::string& message() const { return message_; }
        friend bool operator==(const State&, const State&) = default;

    private:
        explicit State(Kind kind) : kind_(kind) {}
        Kind kind_;
        std::optional<PluginLatencyMeasurement> measurement_;
        std::string message_;
    };

    class MeasurementError {
    public:
        enum class Kind { renderFailed, lowConfidence };

        static MeasurementError renderFailed(std::string detail) { return {Kind::renderFailed, std::move(detail)}; }
        static MeasurementError lowConfidence() { return {Kind::lowConfidence, {}}; }

        Kind kind() const { return kind_; }
        std::string localizedDescription() const;

    private:
        MeasurementError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
        Kind kind_;
        std::string detail_;
    };

    static constexpr double kSampleRate = 48000;
    static constexpr double kRecordingSeconds = 4.0;
    static constexpr std::uint32_t kTailFrames = 14400;  // 0.3 s: also the largest lag searched
    static constexpr double kMinimumLevel = 0.005;       // root mean square, about -46 dBFS
    static constexpr double kMinimumCorrelation = 0.3;
    static constexpr std::uint32_t kSmallestBlock = 32;
    static constexpr std::uint32_t kLargestBlock = 4096;

    static std::shared_ptr<LatencyMeter> make();
    LatencyMeter(const LatencyMeter&) = delete;
    LatencyMeter& operator=(const LatencyMeter&) = delete;

    Published<State> state{State::idle()};
    bool isBusy() const;

    // Main thread. Records from the running capture engine and analyses in the background; the
    // completion gets the finished measurement on the main thread.
    void measure(PreProcessingRecorder& recorder, const std::shared_ptr<AVAudioUnit>& unit,
                 std::function<void(const PluginLatencyMeasurement&)> completion);
    void recordingRefused(const std::string& message) override;

    // The lag k in 0...maxLag with the largest |sum over n of y[k + n] x[n]| (the first on a tie) and
    // that correlation normalised by the energies of x and of the matching part of y; (0, 0) when y
    // is shorter than x plus maxLag. Computed with FFTs.
    static std::pair<std::uint32_t, double> findLag(const std::vector<float>& x, const std::vector<float>& y,
                                                    std::uint32_t maxLag);
    // The unit's output for `samples` followed by `tail` frames of silence, rendered offline in blocks.
    // Throws MeasurementError.
    static std::vector<float> offlineRender(const std::shared_ptr<AVAudioUnit>& unit, const std::vector<float>& samples,
                                            std::uint32_t tail, std::uint32_t block, bool bypass);

    // Whether a measurement taken at its block size holds for the live one.
    static bool isMeasurementValid(const PluginLatencyMeasurement& measurement, std::uint32_t liveBlockFrames);
    // The plug-in's delay in seconds: a valid stored measurement (bypassed or active), else the
    // unit's own report; 0 without a unit.
    static double effectivePluginLatency(const AVAudioUnit* unit,
                                         const std::map<std::string, PluginLatencyMeasurement>& measurements,
                                         std::uint32_t liveBlockFrames, bool isBypassed);
    static std::string measurementKey(const AudioComponentDescription& description);

private:
    struct Request;
    LatencyMeter() = default;
    void recordingFinished(std::shared_ptr<const Request> request, std::optional<std::vector<float>> samples);
    static void analyze(std::weak_ptr<LatencyMeter> weak, std::shared_ptr<const Request> request,
                        std::shared_ptr<AVAudioUnit> instance);
    void finish(const std::shared_ptr<const Request>& request, const PluginLatencyMeasurement& measurement);
    void fail(const MeasurementError& error);
};

}  // namespace velunto
