#include "platform/avaudio/AVAudioInputNode.h"

#include <algorithm>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/avaudio/HALInputUnit.h"

namespace velunto {

AVAudioInputNode::AVAudioInputNode() {
    auto& registry = AudioComponentRegistry::shared();
    unit_ = registry.adopt(std::make_unique<HALInputUnit>());
    OSStatus status = 0;
    hal_ = std::dynamic_pointer_cast<HALInputUnit>(registry.unit(unit_, &status));
}

AVAudioInputNode::~AVAudioInputNode() {
    hal_.reset();
    AudioComponentInstanceDispose(unit_);
}

AVAudioFormat AVAudioInputNode::inputFormat(AVAudioNodeBus) const {
    const AudioObjectID device = hal_->currentDevice();
    AudioObjectPropertyAddress address{kAudioDevicePropertyNominalSampleRate, kAudioObjectPropertyScopeGlobal,
                                       kAudioObjectPropertyElementMain};
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate) != 0)
        return {};
    address = {kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput,
               kAudioObjectPropertyElementMain};
    alignas(AudioBufferList) unsigned char storage[512];
    size = sizeof storage;
    if (AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, storage) != 0)
        return {};
    const auto* list = reinterpret_cast<const AudioBufferList*>(storage);
    const UInt32 channels = list->mNumberBuffers > 0 ? list->mBuffers[0].mNumberChannels : 0;
    return AVAudioFormat(rate, channels);
}

// Real-time: the device's first stream, deinterleaved.
UInt32 AVAudioInputNode::render(const AudioTimeStamp&, AVAudioPCMBuffer*, UInt32, AVAudioPCMBuffer& output) {
    if (!pending_ || pending_->mNumberBuffers == 0)
        return 0;
    const AudioBuffer& buffer = pending_->mBuffers[0];
    const auto* in = static_cast<const float*>(buffer.mData);
    const UInt32 stride = buffer.mNumberChannels;
    const UInt32 channels = std::min(stride, output.format().channelCount());
    const UInt32 frames = std::min(pendingFrames_, output.frameCapacity());
    float* const* out = output.floatChannelData();
    for (UInt32 c = 0; c < channels; ++c)
        for (UInt32 i = 0; i < frames; ++i)
            out[c][i] = in[i * stride + c];
    output.setFrameLength(frames);
    return frames;
}

}  // namespace velunto
