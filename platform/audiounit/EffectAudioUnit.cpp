#include "platform/audiounit/EffectAudioUnit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>

namespace velunto {

namespace {

constexpr Float64 kBypassFadeSeconds = 0.005;

AudioStreamBasicDescription floatFormat(Float64 rate, UInt32 channels) {
    return {rate,
            kAudioFormatLinearPCM,
            kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved,
            4,
            1,
            4,
            channels,
            32,
            0};
}

bool isSupportedFormat(const AudioStreamBasicDescription& f) {
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & kAudioFormatFlagIsFloat) != 0 &&
           (f.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 &&
           (f.mFormatFlags & (kAudioFormatFlagIsBigEndian | kAudioFormatFlagIsSignedInteger)) == 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 &&
           f.mChannelsPerFrame <= EffectAudioUnit::kMaxChannels && f.mSampleRate >= 8000.0 &&
           f.mSampleRate <= 384000.0 && f.mFramesPerPacket == 1 && f.mBytesPerFrame == 4 && f.mBytesPerPacket == 4;
}

OSStatus checkGlobal(AudioUnitScope scope, AudioUnitElement element) {
    if (scope != kAudioUnitScope_Global) {
        return kAudioUnitErr_InvalidScope;
    }
    return element == 0 ? OSStatus{noErr} : OSStatus{kAudioUnitErr_InvalidElement};
}

OSStatus checkFormatAddress(AudioUnitScope scope, AudioUnitElement element) {
    if (scope != kAudioUnitScope_Input && scope != kAudioUnitScope_Output) {
        return kAudioUnitErr_InvalidScope;
    }
    return element == 0 ? OSStatus{noErr} : OSStatus{kAudioUnitErr_InvalidElement};
}

std::unique_ptr<std::atomic<AudioUnitParameterValue>[]> defaultValues(
    const std::vector<AudioUnitParameterInfo>& parameters) {
    auto values = std::make_unique<std::atomic<AudioUnitParameterValue>[]>(parameters.size());
    for (std::size_t i = 0; i < parameters.size(); ++i) {
        values[i].store(parameters[i].defaultValue, std::memory_order_relaxed);
    }
    return values;
}

// A dictionary key that is exactly a decimal parameter id.
std::optional<AudioUnitParameterID> parameterID(const std::string& key) {
    AudioUnitParameterID id = 0;
    const char* end = key.data() + key.size();
    const auto [stop, error] = std::from_chars(key.data(), end, id);
    if (key.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return id;
}

std::optional<double> number(const PropertyListValue& value) {
    if (const auto real = value.real()) {
        return std::isnan(*real) ? std::nullopt : real;
    }
    if (const auto integer = value.integer()) {
        return static_cast<double>(*integer);
    }
    return std::nullopt;
}

}  // namespace

EffectAudioUnit::EffectAudioUnit(const AudioComponentDescription& description, std::string name, UInt32 version,
                                 std::vector<AudioUnitParameterInfo> parameters)
    : description_(description),
      name_(std::move(name)),
      version_(version),
      parameterInfo_(std::move(parameters)),
      parameterValues_(defaultValues(parameterInfo_)),
      format_(floatFormat(48000.0, 2)) {}

EffectAudioUnit::~EffectAudioUnit() = default;

OSStatus EffectAudioUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                      void* outData, UInt32* ioDataSize) {
    std::lock_guard lock(mutex_);
    const auto answer = [&](const auto& value) { return answerProperty(value, outData, ioDataSize); };
    OSStatus status = noErr;
    switch (id) {
        case kAudioUnitProperty_StreamFormat:
            if ((status = checkFormatAddress(scope, element)) != noErr) {
                return status;
            }
            return answer(format_);
        case kAudioUnitProperty_MaximumFramesPerSlice:
            if ((status = checkGlobal(scope, element)) != noErr) {
                return status;
            }
            return answer(maxFramesPerSlice_);
        case kAudioUnitProperty_Latency:
            if ((status = checkGlobal(scope, element)) != noErr) {
                return status;
            }
            return answer(Float64{reportedLatency(format_.mSampleRate)});
        case kAudioUnitProperty_BypassEffect:
            if ((status = checkGlobal(scope, element)) != noErr) {
                return status;
            }
            return answer(UInt32{bypass_.load(std::memory_order_relaxed) ? 1u : 0u});
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus EffectAudioUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                      const void* inData, UInt32 dataSize) {
    std::lock_guard lock(mutex_);
    // Address first, then size, then state, then value.
    const auto admit = [&](OSStatus address, std::size_t size, bool fixedWhileInitialized) -> OSStatus {
        if (address != noErr) {
            return address;
        }
        if (inData == nullptr || dataSize != size) {
            return kAudioUnitErr_InvalidParameter;
        }
        return fixedWhileInitialized && initialized_.load(std::memory_order_relaxed)
                   ? OSStatus{kAudioUnitErr_Initialized}
                   : OSStatus{noErr};
    };
    OSStatus status = noErr;
    switch (id) {
        case kAudioUnitProperty_StreamFormat: {
            if ((status = admit(checkFormatAddress(scope, element), sizeof(AudioStreamBasicDescription), true)) !=
                noErr) {
                return status;
            }
            AudioStreamBasicDescription format{};
            std::memcpy(&format, inData, sizeof(format));
            if (!isSupportedFormat(format)) {
                return kAudioUnitErr_FormatNotSupported;
            }
            format_ = format;
            return noErr;
        }
        case kAudioUnitProperty_MaximumFramesPerSlice: {
            if ((status = admit(checkGlobal(scope, element), sizeof(UInt32), true)) != noErr) {
                return status;
            }
            UInt32 value = 0;
            std::memcpy(&value, inData, sizeof(value));
            if (value < 1 || value > kLargestSlice) {
                return kAudioUnitErr_InvalidPropertyValue;
            }
            maxFramesPerSlice_ = value;
            return noErr;
        }
        case kAudioUnitProperty_Latency:
            if ((status = checkGlobal(scope, element)) != noErr) {
                return status;
            }
            return kAudioUnitErr_PropertyNotWritable;
        case kAudioUnitProperty_BypassEffect: {
            if ((status = admit(checkGlobal(scope, element), sizeof(UInt32), false)) != noErr) {
                return status;
            }
            UInt32 value = 0;
            std::memcpy(&value, inData, sizeof(value));
            bypass_.store(value != 0, std::memory_order_relaxed);
            return noErr;
        }
        default:
            return kAudioUnitErr_InvalidProperty;
    }
}

OSStatus EffectAudioUnit::initialize() {
    std::lock_guard lock(mutex_);
    if (initialized_.load(std::memory_order_relaxed)) {
        return noErr;
    }
    channels_ = format_.mChannelsPerFrame;
    maxFrames_ = maxFramesPerSlice_;
    try {
        allocate(format_.mSampleRate, channels_, maxFrames_);
        dry_.assign(static_cast<std::size_t>(channels_) * maxFrames_, 0.0f);
    } catch (...) {
        deallocate();
        dry_ = {};
        throw;
    }
    bypassMix_.setLength(static_cast<UInt32>(std::lround(kBypassFadeSeconds * format_.mSampleRate)));
    bypassMix_.jumpTo(bypass_.load(std::memory_order_relaxed) ? 1.0f : 0.0f);
    clear();
    resetPending_.store(false, std::memory_order_relaxed);
    initialized_.store(true, std::memory_order_release);
    return noErr;
}

OSStatus EffectAudioUnit::uninitialize() {
    std::lock_guard lock(mutex_);
    if (!initialized_.load(std::memory_order_relaxed)) {
        return noErr;
    }
    initialized_.store(false, std::memory_order_release);
    deallocate();
    dry_ = {};
    return noErr;
}

OSStatus EffectAudioUnit::start() {
    return kAudioUnitErr_CannotDoInCurrentContext;
}

OSStatus EffectAudioUnit::stop() {
    return kAudioUnitErr_CannotDoInCurrentContext;
}

OSStatus EffectAudioUnit::process(AudioUnitRenderActionFlags* flags, const AudioTimeStamp& /*time*/, UInt32 frames,
                                  AudioBufferList& io) {
    if (!initialized_.load(std::memory_order_acquire)) {
        return kAudioUnitErr_Uninitialized;
    }
    if (frames > maxFrames_) {
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    if (io.mNumberBuffers != channels_) {
        return kAudioUnitErr_InvalidParameter;
    }
    float* channels[kMaxChannels] = {};
    float* dry[kMaxChannels] = {};
    for (UInt32 c = 0; c < channels_; ++c) {
        const AudioBuffer& buffer = io.mBuffers[c];
        if (buffer.mData == nullptr || buffer.mNumberChannels != 1 || buffer.mDataByteSize < frames * sizeof(float)) {
            return kAudioUnitErr_InvalidParameter;
        }
        channels[c] = static_cast<float*>(buffer.mData);
        dry[c] = dry_.data() + static_cast<std::size_t>(c) * maxFrames_;
    }
    if (frames == 0) {
        return noErr;
    }

    const float bypassTarget = bypass_.load(std::memory_order_relaxed) ? 1.0f : 0.0f;
    if (resetPending_.exchange(false, std::memory_order_acquire)) {
        clear();
        bypassMix_.jumpTo(bypassTarget);
    }
    const bool silentInput = flags != nullptr && (*flags & kAudioUnitRenderAction_OutputIsSilence) != 0;
    if (silentInput) {
        for (UInt32 c = 0; c < channels_; ++c) {
            std::fill_n(channels[c], frames, 0.0f);
        }
    }
    bypassMix_.rampTo(bypassTarget);

    if (!bypassMix_.isRamping() && bypassMix_.value() != 0.0f) {
        // Bypassed: the output is the input; the effect runs on a copy to keep its history current.
        for (UInt32 c = 0; c < channels_; ++c) {
            std::copy_n(channels[c], frames, dry[c]);
        }
        render(dry, channels_, frames);
        return noErr;
    }
    if (!bypassMix_.isRamping()) {
        render(channels, channels_, frames);
    } else {
        for (UInt32 c = 0; c < channels_; ++c) {
            std::copy_n(channels[c], frames, dry[c]);
        }
        render(channels, channels_, frames);
        for (UInt32 i = 0; i < frames; ++i) {
            const float mix = bypassMix_.next();
            for (UInt32 c = 0; c < channels_; ++c) {
                channels[c][i] = channels[c][i] * (1.0f - mix) + dry[c][i] * mix;
            }
        }
    }
    if (flags != nullptr) {
        *flags &= ~AudioUnitRenderActionFlags{kAudioUnitRenderAction_OutputIsSilence};
    }
    return noErr;
}

void EffectAudioUnit::reset() {
    resetPending_.store(true, std::memory_order_release);
}

std::optional<PropertyListValue> EffectAudioUnit::fullState() const {
    PropertyListValue::Dictionary data;
    for (std::size_t i = 0; i < parameterInfo_.size(); ++i) {
        data.try_emplace(std::to_string(parameterInfo_[i].id),
                         static_cast<double>(parameterValues_[i].load(std::memory_order_relaxed)));
    }
    PropertyListValue::Dictionary state;
    state.try_emplace("type", description_.componentType);
    state.try_emplace("subtype", description_.componentSubType);
    state.try_emplace("manufacturer", description_.componentManufacturer);
    state.try_emplace("version", version_);
    state.try_emplace("name", name_);
    state.try_emplace("data", std::move(data));
    return PropertyListValue(std::move(state));
}

bool EffectAudioUnit::setFullState(const PropertyListValue& dictionary) {
    const PropertyListValue::Dictionary* state = dictionary.dictionary();
    if (state == nullptr) {
        return false;
    }
    const auto field = [&](const char* key, OSType expected) {
        const auto it = state->find(key);
        const auto value = it == state->end() ? std::nullopt : it->second.integer();
        return value.has_value() && *value == static_cast<std::int64_t>(expected);
    };
    if (!field("type", description_.componentType) || !field("subtype", description_.componentSubType) ||
        !field("manufacturer", description_.componentManufacturer)) {
        return false;
    }
    const auto dataEntry = state->find("data");
    const PropertyListValue::Dictionary* data = dataEntry == state->end() ? nullptr : dataEntry->second.dictionary();
    if (data == nullptr) {
        return false;
    }
    std::map<int, double> accepted;
    for (const auto& [key, value] : *data) {
        const auto id = parameterID(key);
        const int index = id ? indexOf(*id) : -1;
        if (index < 0) {
            continue;
        }
        const auto real = number(value);
        if (!real) {
            return false;
        }
        accepted[index] = *real;
    }
    for (const auto& [index, value] : accepted) {
        setParameterValue(parameterInfo_[static_cast<std::size_t>(index)].id,
                          static_cast<AudioUnitParameterValue>(value));
    }
    return true;
}

std::optional<AudioUnitParameterValue> EffectAudioUnit::parameterValue(AudioUnitParameterID id) const {
    const int index = indexOf(id);
    if (index < 0) {
        return std::nullopt;
    }
    return parameterValues_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
}

OSStatus EffectAudioUnit::setParameterValue(AudioUnitParameterID id, AudioUnitParameterValue value) {
    const int index = indexOf(id);
    if (index < 0) {
        return kAudioUnitErr_InvalidParameter;
    }
    if (std::isnan(value)) {
        return kAudioUnitErr_InvalidParameterValue;
    }
    const AudioUnitParameterInfo& info = parameterInfo_[static_cast<std::size_t>(index)];
    parameterValues_[static_cast<std::size_t>(index)].store(std::clamp(value, info.minValue, info.maxValue),
                                                            std::memory_order_relaxed);
    return noErr;
}

Float64 EffectAudioUnit::reportedLatency(Float64 /*sampleRate*/) const {
    return 0.0;
}

AudioUnitParameterValue EffectAudioUnit::parameter(AudioUnitParameterID id) const {
    const int index = indexOf(id);
    return index < 0 ? 0.0f : parameterValues_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
}

int EffectAudioUnit::indexOf(AudioUnitParameterID id) const {
    for (std::size_t i = 0; i < parameterInfo_.size(); ++i) {
        if (parameterInfo_[i].id == id) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

}  // namespace velunto
