#include "platform/coreaudio/AudioDeviceIOEngine.h"

#include <algorithm>
#include <cmath>

#include "platform/dispatch/HostClock.h"
#include "platform/mach/thread_policy.h"

namespace velunto {

namespace {

AudioTimeStamp stamp(const AudioDeviceTimeline& timeline, double sampleTime) {
    AudioTimeStamp ts{};
    ts.mSampleTime = sampleTime;
    ts.mHostTime = timeline.hostTimeAt(sampleTime);
    ts.mRateScalar = 1.0;
    ts.mFlags = kAudioTimeStampSampleHostTimeValid | kAudioTimeStampRateScalarValid;
    return ts;
}

// Real-time.
void accumulate(AudioBufferList& into, const AudioBufferList& from) {
    for (UInt32 b = 0; b < into.mNumberBuffers && b < from.mNumberBuffers; ++b) {
        auto* dst = static_cast<float*>(into.mBuffers[b].mData);
        const auto* src = static_cast<const float*>(from.mBuffers[b].mData);
        const UInt32 n = std::min(into.mBuffers[b].mDataByteSize, from.mBuffers[b].mDataByteSize) / sizeof(float);
        for (UInt32 i = 0; i < n; ++i)
            dst[i] += src[i];
    }
}

}  // namespace

AudioDeviceIOEngine::AudioDeviceIOEngine(std::shared_ptr<AudioHardwareDevice> device) : device_(std::move(device)) {}

AudioDeviceIOEngine::~AudioDeviceIOEngine() = default;

OSStatus AudioDeviceIOEngine::start(AudioDeviceIOProcRecord& record) {
    std::lock_guard lock(mutex_);
    if (shutDown_ || !device_->isAlive())
        return kAudioHardwareBadDeviceError;
    if (record.running)
        return kAudioHardwareNoError;
    if (running_.empty()) {
        if (OSStatus status = device_->startIO(); status != kAudioHardwareNoError)
            return status;
        layout_ = device_->ioLayout();
        const UInt32 frames = std::max<UInt32>(layout_.bufferFrameSize, 1);
        input_.reshape(layout_.inputStreams, frames);
        mix_.reshape(layout_.outputStreams, frames);
        scratch_.reshape(layout_.outputStreams, frames);
        const AudioDeviceTimeline timeline = device_->timeline();
        const double now = timeline.sampleTimeAt(HostClock::nowNanoseconds());
        nextSampleTime_ = (std::floor(now / frames) + 1) * frames;
        ++generation_;
        queue_.emplace("velunto.audio.io." + device_->uid());
        promoted_ = false;
        running_.push_back(&record);
        record.running = true;
        scheduleLocked();
        return kAudioHardwareNoError;
    }
    running_.push_back(&record);
    record.running = true;
    return kAudioHardwareNoError;
}

void AudioDeviceIOEngine::stop(AudioDeviceIOProcRecord& record) {
    std::optional<DispatchQueue> retired;  // released after unlocking: its thread may wait for the lock
    std::lock_guard lock(mutex_);
    if (!record.running)
        return;
    record.running = false;
    std::erase(running_, &record);
    if (running_.empty())
        retired = stopDeviceLocked();
}

void AudioDeviceIOEngine::shutdown() {
    std::optional<DispatchQueue> retired;
    std::lock_guard lock(mutex_);
    shutDown_ = true;
    for (auto* record : running_)
        record->running = false;
    const bool wasRunning = !running_.empty();
    running_.clear();
    if (wasRunning)
        retired = stopDeviceLocked();
}

std::optional<DispatchQueue> AudioDeviceIOEngine::stopDeviceLocked() {
    ++generation_;
    std::optional<DispatchQueue> queue = std::move(queue_);
    queue_.reset();
    device_->stopIO();
    return queue;
}

std::uint64_t AudioDeviceIOEngine::cycleCount() const {
    std::lock_guard lock(mutex_);
    return cycles_;
}

void AudioDeviceIOEngine::scheduleLocked() {
    const AudioDeviceTimeline timeline = device_->timeline();
    const DispatchTime deadline{timeline.hostTimeAt(nextSampleTime_)};
    queue_->asyncAfter(deadline, [weak = weak_from_this(), generation = generation_] {
        if (auto engine = weak.lock())
            engine->runCycle(generation);
    });
}

void AudioDeviceIOEngine::runCycle(std::uint64_t generation) {
    std::lock_guard lock(mutex_);
    if (generation != generation_ || running_.empty())
        return;
    if (!device_->isAlive())
        return;  // a dead device's I/O stalls
    if (!promoted_ && !queue_->runsInVirtualTime()) {
        promoted_ = true;
        thread_policy_set_time_constraint();  // where allowed; the cycles run either way
    }

    const AudioDeviceTimeline timeline = device_->timeline();
    const UInt32 frames = input_.frames();
    AudioDeviceIOCycle cycle;
    cycle.counter = cycles_++;
    cycle.frames = frames;
    cycle.now = stamp(timeline, nextSampleTime_);
    cycle.inputTime = stamp(timeline, nextSampleTime_ - frames - layout_.inputSafetyOffset);
    cycle.outputTime = stamp(timeline, nextSampleTime_ + layout_.outputSafetyOffset);
    cycle.hostTicksPerFrame = 1e9 / timeline.framesPerSecond;

    input_.clear();
    device_->readInput(cycle, *input_.list());
    mix_.clear();
    // Iterate by index: a proc may stop itself (or another) while we call it.
    for (std::size_t i = 0; i < running_.size(); ++i) {
        AudioDeviceIOProcRecord* record = running_[i];
        const bool only = running_.size() == 1;
        AudioBufferListStorage& out = only ? mix_ : scratch_;
        if (!only)
            scratch_.clear();
        record->proc(device_->objectID(), &cycle.now, input_.list(), &cycle.inputTime, out.list(), &cycle.outputTime,
                     record->clientData);
        if (!only)
            accumulate(*mix_.list(), *scratch_.list());
        if (i < running_.size() && running_[i] != record)
            --i;  // the record removed itself
    }
    device_->writeOutput(cycle, *mix_.list());

    if (generation != generation_ || running_.empty())
        return;
    nextSampleTime_ += frames;
    // After a stall (a suspended machine, a debugger) skip the missed cycles instead of racing through them.
    const double now = timeline.sampleTimeAt(HostClock::nowNanoseconds());
    if (now - nextSampleTime_ > 8.0 * frames)
        nextSampleTime_ = (std::floor(now / frames) + 1) * frames;
    scheduleLocked();
}

}  // namespace velunto
