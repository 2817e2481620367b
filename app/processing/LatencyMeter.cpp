#include "app/processing/LatencyMeter.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <new>

#include "app/processing/FFTWPlanner.h"
#include "app/settings/SettingsStore.h"
#include "platform/avaudio/AVAudioEngine.h"
#include "platform/avaudio/AVAudioSourceNode.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Date.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& log() {
    static const Logger logger("app.velunto", "LatencyMeter");
    return logger;
}

// The smallest 2^a 3^b 5^c >= n: sizes FFTW transforms fastest.
std::size_t smoothSize(std::size_t n) {
    for (std::size_t size = std::max<std::size_t>(n, 2);; ++size) {
        std::size_t rest = size;
        for (std::size_t factor : {2, 3, 5})
            while (rest % factor == 0)
                rest /= factor;
        if (rest == 1)
            return size;
    }
}

struct FFTWFree {
    void operator()(void* p) const { fftwf_free(p); }
};
template <class T>
using FFTWBuffer = std::unique_ptr<T[], FFTWFree>;

// A private engine in offline manual rendering. Whatever happens after the unit was attached, the
// engine is stopped and the unit detached again, so that it can be attached for the next render.
class OfflineGraph {
public:
    OfflineGraph(AVAudioEngine& engine, std::shared_ptr<AVAudioUnit> unit) : engine_(engine), unit_(std::move(unit)) {}
    ~OfflineGraph() {
        engine_.stop();
        engine_.detach(unit_);
    }
    OfflineGraph(const OfflineGraph&) = delete;
    OfflineGraph& operator=(const OfflineGraph&) = delete;

private:
    AVAudioEngine& engine_;
    std::shared_ptr<AVAudioUnit> unit_;
};

}  // namespace

struct LatencyMeter::Request {
    AudioComponentDescription description{};
    std::optional<PropertyListValue> fullState;
    double reportedSeconds = 0;
    std::int64_t blockFrames = 0;
    std::function<void(const PluginLatencyMeasurement&)> completion;
    std::vector<float> samples;
};

LatencyMeter::State LatencyMeter::State::done(PluginLatencyMeasurement measurement) {
    State s(Kind::done);
    s.measurement_ = std::move(measurement);
    return s;
}

LatencyMeter::State LatencyMeter::State::failed(std::string message) {
    State s(Kind::failed);
    s.message_ = std::move(message);
    return s;
}

std::string LatencyMeter::MeasurementError::localizedDescription() const {
    switch (kind_) {
        case Kind::renderFailed:
            return "Offline-Verarbeitung fehlgeschlagen: " + detail_;
        case Kind::lowConfidence:
            return "Messung unsicher (Ein- und Ausgang zu verschieden). Bitte deutlich sprechen und erneut messen.";
    }
    return detail_;
}

std::shared_ptr<LatencyMeter> LatencyMeter::make() {
    return std::shared_ptr<LatencyMeter>(new LatencyMeter());
}

bool LatencyMeter::isBusy() const {
    const auto kind = state.value().kind();
    return kind == State::Kind::recording || kind == State::Kind::analyzing;
}

void LatencyMeter::recordingRefused(const std::string& message) {
    state.set(State::failed(message));
}

void LatencyMeter::measure(PreProcessingRecorder& recorder, const std::shared_ptr<AVAudioUnit>& unit,
                           std::function<void(const PluginLatencyMeasurement&)> completion) {
    if (isBusy() || !unit)
        return;
    auto request = std::make_shared<Request>();
    request->description = unit->audioComponentDescription();
    request->fullState = unit->unit().fullState();
    request->reportedSeconds = unit->latency();
    request->blockFrames = recorder.renderFrameCount();
    request->completion = std::move(completion);
    if (request->blockFrames == 0) {
        state.set(State::failed("Kein Audio am Eingang. Läuft Velunto?"));
        return;
    }
    state.set(State::recording());
    recorder.recordPreProcessing(kRecordingSeconds, weak_from_this(),
                                 [weak = weak_from_this(), request](std::optional<std::vector<float>> samples) {
                                     if (const auto self = weak.lock())
                                         self->recordingFinished(request, std::move(samples));
                                 });
}

void LatencyMeter::recordingFinished(std::shared_ptr<const Request> recorded,
                                     std::optional<std::vector<float>> samples) {
    if (!samples) {
        state.set(State::failed(kRecordingAbandonedMessage));
        return;
    }
    double sumOfSquares = 0;
    for (float s : *samples)
        sumOfSquares += static_cast<double>(s) * s;
    const double rms = samples->empty() ? 0.0 : std::sqrt(sumOfSquares / static_cast<double>(samples->size()));
    if (!(rms >= kMinimumLevel)) {  // NaN counts as too quiet
        state.set(State::failed("Zu leise. Bitte während der Messung normal sprechen."));
        return;
    }
    auto request = std::make_shared<Request>(*recorded);
    request->samples = std::move(*samples);
    state.set(State::analyzing());
    const AudioComponentDescription description = request->description;
    AVAudioUnit::instantiate(
        description, 0,
        [weak = weak_from_this(), request = std::shared_ptr<const Request>(std::move(request))](
            std::shared_ptr<AVAudioUnit> instance, std::optional<NSError> error) {
            if (weak.expired())
                return;
            if (!instance) {
                const std::string reason = error ? error->localizedDescription : "unbekannt";
                DispatchQueue::main().async([weak, reason] {
                    if (const auto self = weak.lock())
                        self->state.set(State::failed("Plugin-Instanz für die Messung fehlgeschlagen: " + reason));
                });
                return;
            }
            if (request->fullState)
                instance->unit().setFullState(*request->fullState);
            DispatchQueue::global(DispatchQoS::userInitiated).async([weak, request, instance] {
                analyze(weak, request, instance);
            });
        });
}

void LatencyMeter::analyze(std::weak_ptr<LatencyMeter> weak, std::shared_ptr<const Request> request,
                           std::shared_ptr<AVAudioUnit> instance) {
    if (weak.expired())
        return;
    const std::uint32_t tail = kTailFrames;
    const auto block =
        static_cast<std::uint32_t>(std::clamp<std::int64_t>(request->blockFrames, kSmallestBlock, kLargestBlock));
    std::optional<PluginLatencyMeasurement> measurement;
    std::optional<MeasurementError> failure;
    try {
        const auto active = offlineRender(instance, request->samples, tail, block, false);
        const auto [lagA, corrA] = findLag(request->samples, active, tail);
        instance->reset();
        const auto bypassed = offlineRender(instance, request->samples, tail, block, true);
        const auto [lagB, corrB] = findLag(request->samples, bypassed, tail);
        const double activeSeconds = lagA / kSampleRate;
        const double bypassedSeconds = lagB / kSampleRate;
        // clang-format off
        log().notice("Blockgröße %ld, gemessen: aktiv %f ms (Korrelation %f), Bypass %f ms (Korrelation %f), gemeldet %f ms",
            static_cast<long>(request->blockFrames), activeSeconds * 1000, corrA, bypassedSeconds * 1000, corrB,
            request->reportedSeconds * 1000);
        // clang-format on
        if (corrA < kMinimumCorrelation || corrB < kMinimumCorrelation)
            failure = MeasurementError::lowConfidence();
        else
            measurement = PluginLatencyMeasurement{activeSeconds,        bypassedSeconds, request->reportedSeconds,
                                                   request->blockFrames, corrA,           Date::now()};
    } catch (const MeasurementError& error) {
        failure = error;
    }
    instance.reset();
    DispatchQueue::main().async([weak, request, measurement, failure] {
        const auto self = weak.lock();
        if (!self)
            return;
        if (measurement)
            self->finish(request, *measurement);
        else
            self->fail(*failure);
    });
}

void LatencyMeter::finish(const std::shared_ptr<const Request>& request, const PluginLatencyMeasurement& measurement) {
    state.set(State::done(measurement));
    if (request->completion)
        request->completion(measurement);
}

void LatencyMeter::fail(const MeasurementError& error) {
    const std::string description = error.localizedDescription();
    log().error("Messung fehlgeschlagen: %{public}s", description);
    state.set(State::failed(description));
}

std::vector<float> LatencyMeter::offlineRender(const std::shared_ptr<AVAudioUnit>& unit,
                                               const std::vector<float>& samples, std::uint32_t tail,
                                               std::uint32_t block, bool bypass) {
    const AVAudioFormat format(kSampleRate, 1);
    AVAudioEngine engine;
    NSError error;
    if (!engine.enableManualRenderingMode(AVAudioEngineManualRenderingMode::offline, format, block, &error))
        throw MeasurementError::renderFailed(error.localizedDescription);

    std::size_t position = 0;
    // Real-time: the next recorded samples, then silence.
    auto source = std::make_shared<AVAudioSourceNode>(
        format, [&samples, &position](bool&, const AudioTimeStamp&, UInt32 frames, AudioBufferList* output) {
            auto* out = static_cast<float*>(output->mBuffers[0].mData);
            for (UInt32 i = 0; i < frames; ++i, ++position)
                out[i] = position < samples.size() ? samples[position] : 0.0f;
            return OSStatus{0};
        });
    engine.attach(source);
    engine.attach(unit);
    engine.connect(source, unit, format);
    engine.connect(unit, engine.mainMixerNode(), format);
    unit->setShouldBypassEffect(bypass);
    const OfflineGraph graph(engine, unit);

    if (!engine.start(&error))
        throw MeasurementError::renderFailed(error.localizedDescription);
    std::optional<AVAudioPCMBuffer> buffer;
    try {
        buffer.emplace(engine.manualRenderingFormat(), block);
    } catch (const std::bad_alloc&) {
        throw MeasurementError::renderFailed("Puffer");
    }

    const std::size_t total = samples.size() + tail;
    std::vector<float> output;
    output.reserve(total + block);
    while (output.size() < total) {
        const auto frames = static_cast<UInt32>(std::min<std::size_t>(total - output.size(), block));
        NSError renderError;
        const auto status = engine.renderOffline(frames, *buffer, &renderError);
        if (status == AVAudioEngineManualRenderingStatus::error)
            throw MeasurementError::renderFailed(renderError.localizedDescription);
        // A "success" that delivers nothing would never finish: it fails like any other status.
        if (status != AVAudioEngineManualRenderingStatus::success || !buffer->floatChannelData() ||
            buffer->frameLength() == 0)
            throw MeasurementError::renderFailed("Status " + std::to_string(static_cast<int>(status)));
        const float* channel = buffer->floatChannelData()[0];
        output.insert(output.end(), channel, channel + buffer->frameLength());
    }
    output.resize(total);
    return output;
}

std::pair<std::uint32_t, double> LatencyMeter::findLag(const std::vector<float>& x, const std::vector<float>& y,
                                                       std::uint32_t maxLag) {
    const std::size_t n = x.size();
    if (n == 0 || y.size() < n + maxLag)
        return {0, 0.0};

    // r[k] = sum y[k + n] x[n] for every k at once: the inverse transform of Y times conj(X), with both
    // zero-padded far enough that lags up to maxLag never wrap around.
    const std::size_t size = smoothSize(n + maxLag);
    const std::size_t bins = size / 2 + 1;
    FFTWBuffer<float> real(fftwf_alloc_real(size));
    FFTWBuffer<fftwf_complex> xBins(fftwf_alloc_complex(bins));
    FFTWBuffer<fftwf_complex> yBins(fftwf_alloc_complex(bins));
    if (!real || !xBins || !yBins)
        throw std::bad_alloc();
    const int points = static_cast<int>(size);
    const fftwf_plan forward = FFTWPlanner::planRealForward(points, real.get(), xBins.get(), FFTW_ESTIMATE);
    const fftwf_plan inverse = FFTWPlanner::planRealInverse(points, yBins.get(), real.get(), FFTW_ESTIMATE);
    if (!forward || !inverse) {
        FFTWPlanner::destroy(forward);
        FFTWPlanner::destroy(inverse);
        throw std::bad_alloc();
    }

    std::fill(std::copy(x.begin(), x.end(), real.get()), real.get() + size, 0.0f);
    fftwf_execute_dft_r2c(forward, real.get(), xBins.get());
    std::fill(std::copy(y.begin(), y.begin() + static_cast<std::ptrdiff_t>(n + maxLag), real.get()), real.get() + size,
              0.0f);
    fftwf_execute_dft_r2c(forward, real.get(), yBins.get());
    for (std::size_t k = 0; k < bins; ++k) {
        const std::complex<float> product =
            std::complex<float>(yBins[k][0], yBins[k][1]) * std::conj(std::complex<float>(xBins[k][0], xBins[k][1]));
        yBins[k][0] = product.real();
        yBins[k][1] = product.imag();
    }
    fftwf_execute_dft_c2r(inverse, yBins.get(), real.get());
    FFTWPlanner::destroy(forward);
    FFTWPlanner::destroy(inverse);

    std::uint32_t best = 0;
    float bestMagnitude = -1;
    for (std::uint32_t k = 0; k <= maxLag; ++k) {
        const float magnitude = std::abs(real[k]);
        if (magnitude > bestMagnitude) {
            best = k;
            bestMagnitude = magnitude;
        }
    }
    const double r = static_cast<double>(bestMagnitude) / static_cast<double>(size);

    double ex = 0, ey = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ex += static_cast<double>(x[i]) * x[i];
        ey += static_cast<double>(y[best + i]) * y[best + i];
    }
    const double d = std::sqrt(static_cast<double>(static_cast<float>(ex)) * static_cast<float>(ey));
    const double correlation = d > 0 ? r / d : 0.0;
    // Samples that are not numbers make every lag's sum NaN: no correlation to speak of.
    if (!std::isfinite(correlation))
        return {best, 0.0};
    return {best, correlation};
}

bool LatencyMeter::isMeasurementValid(const PluginLatencyMeasurement& measurement, std::uint32_t liveBlockFrames) {
    if (liveBlockFrames == 0)
        return false;
    const std::int64_t measured = measurement.blockFrames;
    const std::int64_t tolerance = measured >= 20 ? measured / 10 : 2;
    return std::llabs(static_cast<std::int64_t>(liveBlockFrames) - measured) <= tolerance;
}

double LatencyMeter::effectivePluginLatency(const AVAudioUnit* unit,
                                            const std::map<std::string, PluginLatencyMeasurement>& measurements,
                                            std::uint32_t liveBlockFrames, bool isBypassed) {
    if (!unit)
        return 0;
    const auto stored = measurements.find(measurementKey(unit->audioComponentDescription()));
    if (stored != measurements.end() && isMeasurementValid(stored->second, liveBlockFrames))
        return isBypassed ? stored->second.bypassedSeconds : stored->second.activeSeconds;
    return unit->latency();
}

std::string LatencyMeter::measurementKey(const AudioComponentDescription& description) {
    return SettingsStore::measurementKey(description.componentType, description.componentSubType,
                                         description.componentManufacturer);
}

}  // namespace velunto
