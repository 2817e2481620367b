#include "platform/pulse/PulseAudioDevice.h"

#include <algorithm>
#include <bit>
#include <cmath>

#include <pulse/channelmap.h>
#include <pulse/stream.h>

#include "platform/coreaudio/AudioBufferListStorage.h"
#include "platform/dispatch/HostClock.h"
#include "platform/pulse/PulseMainLoop.h"

namespace velunto {

namespace {

// Margin for the jitter of the server's wake-ups and of our own I/O cycle.
constexpr double kJitterMarginSeconds = 0.003;

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

UInt32 PulseDeviceInfo::transportTypeFor(const std::string& bus, const std::string& formFactor,
                                         const std::string& deviceClass, const std::string& driver) {
    if (bus == "bluetooth")
        return kAudioDeviceTransportTypeBluetooth;
    if (bus == "usb")
        return kAudioDeviceTransportTypeUSB;
    if (bus == "firewire")
        return kAudioDeviceTransportTypeFireWire;
    if (bus == "thunderbolt")
        return kAudioDeviceTransportTypeThunderbolt;
    if (contains(driver, "combine"))
        return kAudioDeviceTransportTypeAggregate;
    if (deviceClass == "abstract" || deviceClass == "filter" || contains(driver, "null") || contains(driver, "remap") ||
        contains(driver, "virtual") || contains(driver, "loopback"))
        return kAudioDeviceTransportTypeVirtual;
    if (formFactor == "internal" || bus == "pci" || bus == "platform")
        return kAudioDeviceTransportTypeBuiltIn;
    if (contains(formFactor, "hdmi"))
        return kAudioDeviceTransportTypeHDMI;
    return kAudioDeviceTransportTypeUnknown;
}

PulseAudioDevice::PulseAudioDevice(AudioObjectID objectID, PulseDeviceInfo info, PulseMainLoop& loop)
    : AudioHardwareDevice(objectID, kAudioDeviceClassID, kAudioObjectSystemObject),
      uid_(info.name),
      loop_(loop),
      info_(std::move(info)),
      clock_(std::make_unique<AudioClockEstimator>(info_.rate)) {
    clock_->reset(HostClock::nowNanoseconds());
}

PulseAudioDevice::~PulseAudioDevice() {
    stopIO();
}

UInt32 PulseAudioDevice::cycleFrames(std::uint32_t rate) {
    // Multiples of 16 frames, 4 ms: 192 at 48 kHz.
    return std::max<UInt32>(16, static_cast<UInt32>(std::lround(rate * 0.004 / 16)) * 16);
}

PulseDeviceInfo PulseAudioDevice::info() const {
    std::lock_guard lock(mutex_);
    return info_;
}

std::vector<AudioObjectPropertySelector> PulseAudioDevice::update(const PulseDeviceInfo& info) {
    std::lock_guard lock(mutex_);
    std::vector<AudioObjectPropertySelector> changed;
    if (info.description != info_.description)
        changed.push_back(kAudioObjectPropertyName);
    if (info.rate != info_.rate)
        changed.push_back(kAudioDevicePropertyNominalSampleRate);
    if (info.channels != info_.channels)
        changed.push_back(kAudioDevicePropertyStreamConfiguration);
    info_ = info;
    return changed;
}

void PulseAudioDevice::markDead() {
    std::lock_guard lock(mutex_);
    alive_ = false;
}

bool PulseAudioDevice::isAlive() const {
    std::lock_guard lock(mutex_);
    return alive_;
}

bool PulseAudioDevice::isHidden() const {
    std::lock_guard lock(mutex_);
    return info_.hidden;
}

// Recorded data arrives a piece at a time, at the piece's end, so an input keeps a whole piece besides the
// jitter margin. Playback is asked for data up to about where the stream's clock stands, so an output
// needs only the margin.
UInt32 PulseAudioDevice::safetyOffset() const {
    if (negotiatedSafety_ > 0)
        return negotiatedSafety_;
    const auto margin = static_cast<UInt32>(std::lround(info_.rate * kJitterMarginSeconds));
    return isInput() ? cycleFrames(info_.rate) + margin : margin;
}

// What a sample spends between the device and us, known once the server granted the stream's buffer: a
// recording's source keeps about the piece we asked for, which a sample waits half of on average (the
// whole piece is in the safety offset); a playback stream's target length is queued before the sink.
// Before a stream runs, what we will ask for. The server's own timing is not used: it takes seconds to
// settle after a stream starts, and the figure is read once.
UInt32 PulseAudioDevice::latencyFrames() const {
    if (grantedLatency_ > 0)
        return grantedLatency_;
    const UInt32 cycle = cycleFrames(info_.rate);
    return isInput() ? cycle / 2 : 2 * cycle;
}

OSStatus PulseAudioDevice::readProperty(AudioPropertyRequest& request) const {
    std::lock_guard lock(mutex_);
    const bool inputScope = request.address.mScope == kAudioObjectPropertyScopeInput;
    const bool outputScope = request.address.mScope == kAudioObjectPropertyScopeOutput;
    const bool ownScope = isInput() ? inputScope : outputScope;
    switch (request.address.mSelector) {
        case kAudioObjectPropertyName:
            return request.answerString(info_.description);
        case kAudioObjectPropertyManufacturer:
            return request.answerString(info_.vendor);
        case kAudioDevicePropertyDeviceUID:
            return request.answerString(uid_);
        case kAudioDevicePropertyModelUID:
            return request.answerString(uid_ + ".model");
        case kAudioDevicePropertyTransportType:
            return request.answer<UInt32>(info_.transportType);
        case kAudioDevicePropertyDeviceIsAlive:
            return request.answer<UInt32>(alive_ ? 1 : 0);
        case kAudioDevicePropertyDeviceIsRunning:
            return request.answer<UInt32>(running_.load() ? 1 : 0);
        case kAudioDevicePropertyIsHidden:
            return request.answer<UInt32>(info_.hidden ? 1 : 0);
        case kAudioDevicePropertyDeviceCanBeDefaultDevice:
            return request.answer<UInt32>(!info_.hidden && ownScope ? 1 : 0);
        case kAudioDevicePropertyNominalSampleRate:
            return request.answer<Float64>(info_.rate);
        case kAudioDevicePropertyAvailableNominalSampleRates: {
            const AudioValueRange range{static_cast<Float64>(info_.rate), static_cast<Float64>(info_.rate)};
            return request.answerArray<AudioValueRange>(std::span(&range, 1));
        }
        case kAudioDevicePropertyStreamConfiguration: {
            const UInt32 channels = ownScope ? info_.channels : 0;
            AudioBufferListStorage list(channels > 0 ? std::vector<UInt32>{channels} : std::vector<UInt32>{}, 0);
            const auto size = static_cast<UInt32>(AudioBufferListStorage::listByteSize(channels > 0 ? 1 : 0));
            return request.answerBytes(list.list(),
                                       channels > 0 ? size : static_cast<UInt32>(offsetof(AudioBufferList, mBuffers)));
        }
        case kAudioDevicePropertyLatency:
            return request.answer<UInt32>(ownScope ? latencyFrames() : 0);
        case kAudioDevicePropertySafetyOffset:
            return request.answer<UInt32>(ownScope ? safetyOffset() : 0);
        case kAudioDevicePropertyBufferFrameSize:
            return request.answer<UInt32>(cycleFrames(info_.rate));
        case kAudioDevicePropertyClockDomain:
            return request.answer<UInt32>(0);
        default:
            return AudioHardwareObject::readProperty(request);
    }
}

AudioDeviceIOLayout PulseAudioDevice::ioLayout() const {
    std::lock_guard lock(mutex_);
    AudioDeviceIOLayout layout;
    (isInput() ? layout.inputStreams : layout.outputStreams).push_back(info_.channels);
    layout.bufferFrameSize = cycleFrames(info_.rate);
    (isInput() ? layout.inputSafetyOffset : layout.outputSafetyOffset) = safetyOffset();
    return layout;
}

AudioDeviceTimeline PulseAudioDevice::timeline() const {
    std::lock_guard lock(mutex_);
    return clock_->timeline();
}

OSStatus PulseAudioDevice::startIO() {
    std::lock_guard lock(mutex_);
    if (!alive_)
        return kAudioHardwareNotRunningError;
    if (stream_ != nullptr)
        return kAudioHardwareNoError;
    PulseMainLoop::Lock loopLock(loop_);
    if (!loop_.isReady())
        return kAudioHardwareNotRunningError;

    const pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, info_.rate, static_cast<std::uint8_t>(info_.channels)};
    pa_channel_map map;
    if (pa_channel_map_parse(&map, info_.channelMap.c_str()) == nullptr || map.channels != info_.channels)
        pa_channel_map_init_auto(&map, info_.channels, PA_CHANNEL_MAP_DEFAULT);
    pa_stream* stream = pa_stream_new(loop_.context(), "Velunto", &sampleFormat, &map);
    if (stream == nullptr)
        return kAudioHardwareUnspecifiedError;

    if (clock_->nominalRate() != info_.rate)
        clock_ = std::make_unique<AudioClockEstimator>(info_.rate);
    clock_->reset(HostClock::nowNanoseconds());
    if (!buffer_ || buffer_->channels() != info_.channels || buffer_->capacity() < info_.rate)
        buffer_ = std::make_unique<SampleTimeBuffer>(info_.channels, info_.rate);
    else
        buffer_->clear();
    streamFrames_ = 0;
    anchored_ = false;
    flowing_ = false;
    stream_ = stream;

    const auto cycleBytes = static_cast<std::uint32_t>(cycleFrames(info_.rate) * pa_frame_size(&sampleFormat));
    pa_buffer_attr attributes{};
    attributes.maxlength = static_cast<std::uint32_t>(-1);
    attributes.prebuf = static_cast<std::uint32_t>(-1);
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                      PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_DONT_MOVE);
    pa_stream_set_state_callback(stream, &PulseAudioDevice::streamState, this);
    int result;
    if (isInput()) {
        attributes.fragsize = cycleBytes;
        attributes.tlength = attributes.minreq = static_cast<std::uint32_t>(-1);
        pa_stream_set_read_callback(stream, &PulseAudioDevice::streamRead, this);
        result = pa_stream_connect_record(stream, info_.name.c_str(), &attributes, flags);
    } else {
        attributes.tlength = 2 * cycleBytes;
        attributes.minreq = cycleBytes;
        attributes.fragsize = static_cast<std::uint32_t>(-1);
        pa_stream_set_write_callback(stream, &PulseAudioDevice::streamWrite, this);
        result = pa_stream_connect_playback(stream, info_.name.c_str(), &attributes, flags, nullptr, nullptr);
    }
    pa_stream_state_t state = result < 0 ? PA_STREAM_FAILED : pa_stream_get_state(stream);
    while (state == PA_STREAM_CREATING) {
        loop_.waitForEvent();
        state = pa_stream_get_state(stream);
    }
    if (state != PA_STREAM_READY) {
        closeStreamLocked();
        return kAudioHardwareNotRunningError;
    }
    // Data comes (and is asked for) in pieces of the size the server granted, which may be far larger
    // than we asked for.
    const std::size_t frameBytes = pa_frame_size(&sampleFormat);
    const pa_buffer_attr* granted = pa_stream_get_buffer_attr(stream);
    const std::size_t piece = granted == nullptr ? cycleBytes : isInput() ? granted->fragsize : granted->minreq;
    const auto pieceFrames = static_cast<UInt32>(std::max<std::size_t>(piece, cycleBytes) / frameBytes);
    const auto margin = static_cast<UInt32>(std::lround(info_.rate * kJitterMarginSeconds));
    negotiatedSafety_ = isInput() ? pieceFrames + margin : margin;
    const std::size_t buffered = granted == nullptr ? 0 : isInput() ? granted->fragsize / 2 : granted->tlength;
    grantedLatency_ = static_cast<UInt32>(buffered / frameBytes);
    // A server that answers in large pieces delivers them in bursts: deviations within two pieces are
    // the stream's rhythm, not a jump.
    jumpFrames_ = 0.25 * info_.rate + 2.0 * pieceFrames;
    clock_->setRestartThreshold(jumpFrames_);
    const std::uint32_t capacity = std::max<std::uint32_t>(info_.rate, 4 * (negotiatedSafety_ + pieceFrames));
    if (buffer_->capacity() < capacity)
        buffer_ = std::make_unique<SampleTimeBuffer>(info_.channels, capacity);
    running_ = true;
    return kAudioHardwareNoError;
}

void PulseAudioDevice::stopIO() {
    std::lock_guard lock(mutex_);
    if (stream_ == nullptr)
        return;
    PulseMainLoop::Lock loopLock(loop_);
    closeStreamLocked();
    running_ = false;
    negotiatedSafety_ = 0;
    grantedLatency_ = 0;
}

void PulseAudioDevice::closeStreamLocked() {
    pa_stream_set_state_callback(stream_, nullptr, nullptr);
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_set_write_callback(stream_, nullptr, nullptr);
    if (pa_stream_get_state(stream_) == PA_STREAM_READY)
        pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
    stream_ = nullptr;
}

// real-time
void PulseAudioDevice::readInput(const AudioDeviceIOCycle& cycle, AudioBufferList& input) {
    if (input.mNumberBuffers == 0 || !buffer_)
        return;
    const std::uint32_t held = buffer_->read(std::llround(cycle.inputTime.mSampleTime),
                                             static_cast<float*>(input.mBuffers[0].mData), cycle.frames);
    countMissed(held, cycle.frames);
}

// real-time: frames a cycle (input) or the server (output) wanted that were not there, once data has flowed
void PulseAudioDevice::countMissed(std::uint32_t held, std::uint32_t wanted) {
    if (held > 0)
        flowing_.store(true, std::memory_order_relaxed);
    if (held < wanted && flowing_.load(std::memory_order_relaxed))
        missedFrames_.fetch_add(wanted - held, std::memory_order_relaxed);
}

// real-time
void PulseAudioDevice::writeOutput(const AudioDeviceIOCycle& cycle, const AudioBufferList& output) {
    if (output.mNumberBuffers == 0 || !buffer_)
        return;
    buffer_->write(std::llround(cycle.outputTime.mSampleTime), static_cast<const float*>(output.mBuffers[0].mData),
                   cycle.frames);
}

// real-time, on the loop's thread
void PulseAudioDevice::streamRead(pa_stream* stream, std::size_t, void* userdata) {
    auto* self = static_cast<PulseAudioDevice*>(userdata);
    const std::size_t frameBytes = sizeof(float) * self->buffer_->channels();
    const std::uint64_t now = HostClock::nowNanoseconds();
    self->anchor(now, static_cast<std::int64_t>(pa_stream_readable_size(stream) / frameBytes));
    while (pa_stream_readable_size(stream) > 0) {
        const void* data = nullptr;
        std::size_t bytes = 0;
        if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
            break;
        const auto frames = static_cast<std::uint32_t>(bytes / frameBytes);
        if (data != nullptr)  // null: a hole in the recording, left silent
            self->buffer_->write(self->streamFrames_ + self->frameOffset_, static_cast<const float*>(data), frames);
        self->streamFrames_ += frames;
        pa_stream_drop(stream);
    }
    self->clock_->observe(now, static_cast<double>(self->streamFrames_ + self->frameOffset_));
}

// real-time, on the loop's thread
void PulseAudioDevice::streamWrite(pa_stream* stream, std::size_t bytes, void* userdata) {
    auto* self = static_cast<PulseAudioDevice*>(userdata);
    const std::size_t frameBytes = sizeof(float) * self->buffer_->channels();
    std::size_t wanted = bytes / frameBytes;
    const std::uint64_t now = HostClock::nowNanoseconds();
    self->anchor(now, static_cast<std::int64_t>(wanted));
    while (wanted > 0) {
        void* data = nullptr;
        std::size_t size = wanted * frameBytes;
        if (pa_stream_begin_write(stream, &data, &size) < 0 || data == nullptr || size < frameBytes)
            break;
        const auto frames = static_cast<std::uint32_t>(std::min(size / frameBytes, wanted));
        const std::uint32_t held =
            self->buffer_->read(self->streamFrames_ + self->frameOffset_, static_cast<float*>(data), frames);
        self->countMissed(held, frames);
        if (pa_stream_write(stream, data, frames * frameBytes, nullptr, 0, PA_SEEK_RELATIVE) < 0)
            break;
        self->streamFrames_ += frames;
        wanted -= frames;
    }
    self->clock_->observe(now, static_cast<double>(self->streamFrames_ + self->frameOffset_));
}

// real-time, on the loop's thread. The stream's frames map to the device's timeline with an offset, fixed
// when the first data (or request) comes and moved only when the stream jumps (a long stall): the timeline
// itself never jumps, so the I/O cycles keep their pace.
void PulseAudioDevice::anchor(std::uint64_t hostTime, std::int64_t comingFrames) {
    const double expected = clock_->timeline().sampleTimeAt(hostTime);
    const double end = static_cast<double>(streamFrames_ + frameOffset_ + comingFrames);
    if (!anchored_ || std::abs(end - expected) > jumpFrames_) {
        frameOffset_ = std::llround(expected) - streamFrames_ - comingFrames;
        anchored_ = true;
    }
}

void PulseAudioDevice::streamState(pa_stream*, void* userdata) {
    static_cast<PulseAudioDevice*>(userdata)->loop_.signal();
}

}  // namespace velunto
