#include "platform/sim/SimulatedCallApp.h"

#include "platform/corefoundation/CFStringBridge.h"

namespace velunto {

namespace {

AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                   AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal) {
    return {selector, scope, kAudioObjectPropertyElementMain};
}

}  // namespace

SimulatedCallApp::SimulatedCallApp(std::string deviceUID) : uid_(std::move(deviceUID)) {}

SimulatedCallApp::~SimulatedCallApp() {
    stop();
}

bool SimulatedCallApp::lookUp() {
    auto uid = makeCFString(uid_);
    CFStringRef qualifier = uid.get();
    const auto translate = address(kAudioHardwarePropertyTranslateUIDToDevice);
    UInt32 size = sizeof device_;
    if (AudioObjectGetPropertyData(kAudioObjectSystemObject, &translate, sizeof qualifier, &qualifier, &size,
                                   &device_) != 0 ||
        device_ == kAudioObjectUnknown)
        return false;
    const auto rate = address(kAudioDevicePropertyNominalSampleRate);
    size = sizeof sampleRate_;
    if (AudioObjectGetPropertyData(device_, &rate, 0, nullptr, &size, &sampleRate_) != 0)
        return false;
    const auto layout = address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    alignas(AudioBufferList) unsigned char storage[256];
    size = sizeof storage;
    if (AudioObjectGetPropertyData(device_, &layout, 0, nullptr, &size, storage) != 0)
        return false;
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage);
    channels_ = list->mNumberBuffers > 0 ? list->mBuffers[0].mNumberChannels : 0;
    return channels_ > 0;
}

bool SimulatedCallApp::recordToMemory(std::size_t maxFrames) {
    return lookUp() && start(SimulatedRecorder::memory(maxFrames, channels_));
}

bool SimulatedCallApp::recordToWAV(const std::string& path) {
    if (!lookUp())
        return false;
    auto recorder = SimulatedRecorder::wav(path, channels_, sampleRate_);
    return recorder && start(std::move(recorder));
}

bool SimulatedCallApp::start(std::unique_ptr<SimulatedRecorder> recorder) {
    stop();
    {
        std::lock_guard lock(mutex_);
        recorder_ = std::move(recorder);
        timeline_ = RecordingTimeline(sampleRate_);
        framesRecorded_ = 0;
    }
    if (AudioDeviceCreateIOProcID(device_, ioProc, this, &proc_) != 0)
        return false;
    if (AudioDeviceStart(device_, proc_) != 0) {
        AudioDeviceDestroyIOProcID(device_, proc_);
        proc_ = nullptr;
        return false;
    }
    return true;
}

void SimulatedCallApp::stop() {
    if (!proc_)
        return;
    AudioDeviceStop(device_, proc_);
    AudioDeviceDestroyIOProcID(device_, proc_);
    proc_ = nullptr;
}

std::vector<float> SimulatedCallApp::recording() const {
    std::lock_guard lock(mutex_);
    return recorder_ ? recorder_->samples() : std::vector<float>{};
}

double SimulatedCallApp::firstSampleTime() const {
    std::lock_guard lock(mutex_);
    return timeline_.firstSampleTime();
}

std::uint64_t SimulatedCallApp::firstHostTime() const {
    std::lock_guard lock(mutex_);
    return timeline_.firstHostTime();
}

RecordingTimeline SimulatedCallApp::timeline() const {
    std::lock_guard lock(mutex_);
    return timeline_;
}

std::uint64_t SimulatedCallApp::framesRecorded() const {
    std::lock_guard lock(mutex_);
    return framesRecorded_;
}

OSStatus SimulatedCallApp::ioProc(AudioObjectID, const AudioTimeStamp*, const AudioBufferList* input,
                                  const AudioTimeStamp* inputTime, AudioBufferList*, const AudioTimeStamp*,
                                  void* self) {
    auto& app = *static_cast<SimulatedCallApp*>(self);
    if (!input || input->mNumberBuffers == 0)
        return 0;
    const AudioBuffer& buffer = input->mBuffers[0];
    if (buffer.mNumberChannels == 0)
        return 0;
    std::lock_guard lock(app.mutex_);
    if (!app.recorder_)
        return 0;
    const UInt32 frames = buffer.mDataByteSize / 4 / buffer.mNumberChannels;
    app.timeline_.note(app.framesRecorded_, inputTime->mSampleTime, inputTime->mHostTime, frames);
    app.recorder_->append(static_cast<const float*>(buffer.mData), frames);
    app.framesRecorded_ += frames;
    return 0;
}

}  // namespace velunto
