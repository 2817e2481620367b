#include "platform/lv2/LV2EffectAudioUnit.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/parameters/parameters.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>

namespace velunto {

namespace {

constexpr const char* kStateURI = "urn:velunto:lv2-state";
constexpr UInt32 kPrimingFrames = 256;

struct StateDeleter {
    void operator()(LilvState* state) const { lilv_state_free(state); }
};
using StatePointer = std::unique_ptr<LilvState, StateDeleter>;

std::vector<AudioUnitParameterInfo> parametersOf(const LV2PluginPorts& ports) {
    std::vector<AudioUnitParameterInfo> parameters;
    for (const LV2Port& port : ports.ports()) {
        if (port.kind == LV2PortKind::control && port.input && port.role == LV2ControlRole::parameter) {
            parameters.push_back({port.index, port.name, port.minimum, port.maximum, port.defaultValue, port.unit});
        }
    }
    return parameters;
}

// Waits for a flag another thread holds only for the length of a block.
void acquire(std::atomic<bool>& flag) {
    while (flag.exchange(true, std::memory_order_acquire)) {
        std::this_thread::yield();
    }
}

}  // namespace

struct LV2EffectAudioUnit::Scan {
    const LilvPlugin* plugin = nullptr;
    std::optional<LV2PluginPorts> ports;
    std::optional<LV2UIDescription> ui;

    Scan(const LV2World& world, const std::string& uri) {
        std::lock_guard lock(world.mutex());
        plugin = world.plugin(uri.c_str());
        if (plugin == nullptr) {
            throw std::runtime_error("LV2 plug-in not installed: " + uri);
        }
        ports.emplace(world, plugin);
        ui = LV2PluginEditor::find(world, plugin);
    }
};

struct LV2EffectAudioUnit::Instance {
    LilvInstance* lilv = nullptr;
    std::vector<std::vector<float>> audioIn;        // per plug-in audio input
    std::vector<std::vector<float>> audioOut;       // per plug-in audio output
    std::vector<float> controls;                    // per port
    std::vector<std::vector<float>> cv;             // per port, empty for others
    std::vector<std::vector<std::uint64_t>> atoms;  // per port, empty for others

    Instance() = default;
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    ~Instance() {
        if (lilv != nullptr) {
            lilv_instance_deactivate(lilv);
            lilv_instance_free(lilv);
        }
    }
};

LV2EffectAudioUnit::LV2EffectAudioUnit(std::shared_ptr<LV2World> world, const LV2PluginDescription& plugin)
    : LV2EffectAudioUnit(world, plugin, Scan(*world, plugin.uri)) {}

LV2EffectAudioUnit::LV2EffectAudioUnit(std::shared_ptr<LV2World> world, const LV2PluginDescription& plugin, Scan&& scan)
    : EffectAudioUnit(plugin.component, plugin.name, plugin.version, parametersOf(*scan.ports)),
      world_(std::move(world)),
      plugin_(plugin),
      lilvPlugin_(scan.plugin),
      ports_(std::move(*scan.ports)),
      ui_(std::move(scan.ui)),
      options_{{LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr}},
      optionsFeature_{LV2_OPTIONS__options, options_.data()},
      boundedBlockFeature_{LV2_BUF_SIZE__boundedBlockLength, nullptr},
      defaultStateFeature_{LV2_STATE__loadDefaultState, nullptr},
      isLiveFeature_{LV2_CORE__isLive, nullptr},
      inPlaceBrokenFeature_{LV2_CORE__inPlaceBroken, nullptr} {}

LV2EffectAudioUnit::~LV2EffectAudioUnit() {
    // Units are uninitialised before they go; without that the instances still have to be freed.
    std::lock_guard lock(stateMutex_);
    instances_.clear();
}

OSStatus LV2EffectAudioUnit::initialize() {
    try {
        return EffectAudioUnit::initialize();
    } catch (...) {
        return kAudioUnitErr_FailedInitialization;
    }
}

OSStatus LV2EffectAudioUnit::getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                         void* outData, UInt32* ioDataSize) {
    if (id != kAudioUnitProperty_BypassEffect || !bypassesThroughEnablePort()) {
        return EffectAudioUnit::getProperty(id, scope, element, outData, ioDataSize);
    }
    if (scope != kAudioUnitScope_Global) {
        return kAudioUnitErr_InvalidScope;
    }
    if (element != 0) {
        return kAudioUnitErr_InvalidElement;
    }
    return answerProperty(UInt32{enabledBypass_.load(std::memory_order_relaxed) ? 1u : 0u}, outData, ioDataSize);
}

OSStatus LV2EffectAudioUnit::setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                         const void* inData, UInt32 dataSize) {
    if (id != kAudioUnitProperty_BypassEffect || !bypassesThroughEnablePort()) {
        return EffectAudioUnit::setProperty(id, scope, element, inData, dataSize);
    }
    if (scope != kAudioUnitScope_Global) {
        return kAudioUnitErr_InvalidScope;
    }
    if (element != 0) {
        return kAudioUnitErr_InvalidElement;
    }
    if (inData == nullptr || dataSize != sizeof(UInt32)) {
        return kAudioUnitErr_InvalidParameter;
    }
    UInt32 value = 0;
    std::memcpy(&value, inData, sizeof(value));
    enabledBypass_.store(value != 0, std::memory_order_relaxed);
    return noErr;
}

std::optional<PropertyListValue> LV2EffectAudioUnit::fullState() const {
    std::optional<PropertyListValue> state = EffectAudioUnit::fullState();
    if (!plugin_.hasState || !state) {
        return state;
    }
    std::string text;
    {
        std::lock_guard stateLock(stateMutex_);
        if (instances_.empty()) {
            text = pendingState_;
        } else {
            std::lock_guard worldLock(world_->mutex());
            LV2URIDMap& urids = world_->urids();
            const auto features = this->features();
            savers_.fetch_add(1, std::memory_order_seq_cst);
            while (resetting_.load(std::memory_order_seq_cst)) {
                std::this_thread::yield();
            }
            const StatePointer saved(lilv_state_new_from_instance(
                lilvPlugin_, instances_.front()->lilv, urids.mapFeatureData(), nullptr, nullptr, nullptr, nullptr,
                nullptr, nullptr, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features.data()));
            savers_.fetch_sub(1, std::memory_order_seq_cst);
            if (saved) {
                char* serialised = lilv_state_to_string(world_->world(), urids.mapFeatureData(),
                                                        urids.unmapFeatureData(), saved.get(), kStateURI, nullptr);
                if (serialised != nullptr) {
                    text = serialised;
                    lilv_free(serialised);
                }
            }
        }
    }
    if (text.empty() || state->dictionary() == nullptr) {
        return state;
    }
    PropertyListValue::Dictionary dictionary = *state->dictionary();
    dictionary.insert_or_assign(kLV2StateKey, PropertyListValue(std::move(text)));
    return PropertyListValue(std::move(dictionary));
}

bool LV2EffectAudioUnit::setFullState(const PropertyListValue& dictionary) {
    const PropertyListValue::Dictionary* entries = dictionary.dictionary();
    if (entries == nullptr) {
        return false;
    }
    StatePointer parsed;
    const std::string* text = nullptr;
    if (const auto entry = entries->find(kLV2StateKey); entry != entries->end()) {
        text = entry->second.string();
        if (text == nullptr) {
            return false;
        }
        std::lock_guard worldLock(world_->mutex());
        parsed.reset(lilv_state_new_from_string(world_->world(), world_->urids().mapFeatureData(), text->c_str()));
        const LilvNode* appliesTo = parsed ? lilv_state_get_plugin_uri(parsed.get()) : nullptr;
        if (appliesTo == nullptr || plugin_.uri != lilv_node_as_uri(appliesTo)) {
            return false;
        }
    }
    if (!EffectAudioUnit::setFullState(dictionary)) {
        return false;
    }
    if (parsed) {
        std::lock_guard stateLock(stateMutex_);
        std::lock_guard worldLock(world_->mutex());
        pendingState_ = *text;
        restoreInstances(parsed.get());
    }
    return true;
}

OSStatus LV2EffectAudioUnit::setParameterValue(AudioUnitParameterID id, AudioUnitParameterValue value) {
    if (id < ports_.ports().size() && !std::isnan(value)) {
        value = ports_.ports()[id].conform(value);
    }
    return EffectAudioUnit::setParameterValue(id, value);
}

std::unique_ptr<AudioUnitEditor> LV2EffectAudioUnit::createEditor(std::uintptr_t parentX11Window) {
    if (!ui_ || parentX11Window == 0) {
        return nullptr;
    }
    return LV2PluginEditor::make(*this, world_, *ui_, parentX11Window);
}

std::optional<float> LV2EffectAudioUnit::controlPortValue(std::uint32_t index) const {
    if (index >= ports_.ports().size() || ports_.ports()[index].kind != LV2PortKind::control) {
        return std::nullopt;
    }
    const LV2Port& port = ports_.ports()[index];
    if (!port.input) {
        return outputValues_ ? std::optional<float>(outputValues_[index].load(std::memory_order_relaxed))
                             : std::nullopt;
    }
    switch (port.role) {
        case LV2ControlRole::parameter:
            return parameterValue(index);
        case LV2ControlRole::enabled:
            return enabledBypass_.load(std::memory_order_relaxed) ? 0.0f : 1.0f;
        default:
            return std::nullopt;
    }
}

void LV2EffectAudioUnit::writeControlPort(std::uint32_t index, float value) {
    if (index >= ports_.ports().size()) {
        return;
    }
    const LV2Port& port = ports_.ports()[index];
    if (port.kind != LV2PortKind::control || !port.input) {
        return;
    }
    if (port.role == LV2ControlRole::parameter) {
        setParameterValue(index, value);
    } else if (port.role == LV2ControlRole::enabled) {
        enabledBypass_.store(value <= 0.0f, std::memory_order_relaxed);
    }
}

void LV2EffectAudioUnit::allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) {
    std::lock_guard stateLock(stateMutex_);
    std::lock_guard worldLock(world_->mutex());
    LV2URIDMap& urids = world_->urids();
    sampleRate_ = static_cast<float>(sampleRate);
    channels_ = channels;
    atomSequenceType_ = urids.map(LV2_ATOM__Sequence);
    atomChunkType_ = urids.map(LV2_ATOM__Chunk);

    sampleRateOption_ = sampleRate_;
    maxBlockOption_ = static_cast<std::int32_t>(maxFrames);
    std::uint32_t smallestSequence = LV2PluginPorts::kMinimumAtomCapacity;
    for (const LV2Port& port : ports_.ports()) {
        if (port.kind == LV2PortKind::atom) {
            smallestSequence = std::min(smallestSequence, port.atomCapacity);
        }
    }
    sequenceSizeOption_ = static_cast<std::int32_t>(smallestSequence);
    const LV2_URID atomFloat = urids.map(LV2_ATOM__Float);
    const LV2_URID atomInt = urids.map(LV2_ATOM__Int);
    options_ = {
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_PARAMETERS__sampleRate), sizeof(float), atomFloat, &sampleRateOption_},
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__minBlockLength), sizeof(std::int32_t), atomInt,
         &minBlockOption_},
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__maxBlockLength), sizeof(std::int32_t), atomInt,
         &maxBlockOption_},
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_BUF_SIZE__sequenceSize), sizeof(std::int32_t), atomInt,
         &sequenceSizeOption_},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    };
    optionsFeature_ = {LV2_OPTIONS__options, options_.data()};
    const auto features = this->features();

    // The state the instances start from: the one set last, else the plug-in's default state.
    StatePointer initial;
    if (!pendingState_.empty()) {
        initial.reset(lilv_state_new_from_string(world_->world(), urids.mapFeatureData(), pendingState_.c_str()));
    } else if (plugin_.hasState) {
        initial.reset(
            lilv_state_new_from_world(world_->world(), urids.mapFeatureData(), lilv_plugin_get_uri(lilvPlugin_)));
    }

    const std::vector<LV2Port>& ports = ports_.ports();
    const bool perChannel = ports_.audioInputs() == 1 && ports_.audioOutputs() == 1;
    const std::uint32_t count = perChannel ? channels : 1;
    for (std::uint32_t k = 0; k < count; ++k) {
        auto instance = std::make_unique<Instance>();
        instance->lilv = lilv_plugin_instantiate(lilvPlugin_, sampleRate, features.data());
        if (instance->lilv == nullptr) {
            instances_.clear();
            throw std::runtime_error("LV2 plug-in failed to instantiate: " + plugin_.uri);
        }
        instance->audioIn.assign(ports_.audioInputs(), std::vector<float>(maxFrames, 0.0f));
        instance->audioOut.assign(ports_.audioOutputs(), std::vector<float>(maxFrames, 0.0f));
        instance->controls.assign(ports.size(), 0.0f);
        instance->cv.resize(ports.size());
        instance->atoms.resize(ports.size());
        std::uint32_t audioIn = 0;
        std::uint32_t audioOut = 0;
        for (const LV2Port& port : ports) {
            void* buffer = nullptr;
            switch (port.kind) {
                case LV2PortKind::audio:
                    buffer = port.input ? instance->audioIn[audioIn++].data() : instance->audioOut[audioOut++].data();
                    break;
                case LV2PortKind::control:
                    instance->controls[port.index] = port.input ? port.defaultValue : 0.0f;
                    buffer = &instance->controls[port.index];
                    break;
                case LV2PortKind::cv:
                    instance->cv[port.index].assign(maxFrames, 0.0f);
                    buffer = instance->cv[port.index].data();
                    break;
                case LV2PortKind::atom: {
                    auto& storage = instance->atoms[port.index];
                    storage.assign(port.atomCapacity / sizeof(std::uint64_t), 0);
                    buffer = storage.data();
                    break;
                }
                case LV2PortKind::other:
                    break;
            }
            lilv_instance_connect_port(instance->lilv, port.index, buffer);
        }
        if (initial) {
            lilv_state_restore(initial.get(), instance->lilv, nullptr, nullptr, 0, features.data());
        }
        lilv_instance_activate(instance->lilv);
        instances_.push_back(std::move(instance));
    }
    outputValues_ = std::make_unique<std::atomic<float>[]>(ports.size());

    // One silent block, so that the latency port holds its value before anyone asks.
    const UInt32 frames = std::min(maxFrames, kPrimingFrames);
    std::vector<std::vector<float>> silence(channels, std::vector<float>(frames, 0.0f));
    std::vector<float*> pointers;
    for (auto& channel : silence) {
        pointers.push_back(channel.data());
    }
    instanceInUse_.store(false, std::memory_order_relaxed);
    instanceResetPending_.store(false, std::memory_order_relaxed);
    render(pointers.data(), channels, frames);
    ranSinceActivation_ = false;
}

void LV2EffectAudioUnit::deallocate() {
    std::lock_guard lock(stateMutex_);
    instances_.clear();
    outputValues_.reset();
}

void LV2EffectAudioUnit::clear() {
    if (ranSinceActivation_) {
        instanceResetPending_.store(true, std::memory_order_relaxed);
    }
}

void LV2EffectAudioUnit::render(float* const* channels, UInt32 channelCount, UInt32 frames) {
    if (instanceInUse_.exchange(true, std::memory_order_acquire)) {
        return;  // a state is being restored: this block passes unchanged
    }
    if (instanceResetPending_.load(std::memory_order_relaxed)) {
        resetting_.store(true, std::memory_order_seq_cst);
        if (savers_.load(std::memory_order_seq_cst) == 0) {
            for (const auto& instance : instances_) {
                lilv_instance_deactivate(instance->lilv);
                lilv_instance_activate(instance->lilv);
            }
            instanceResetPending_.store(false, std::memory_order_relaxed);
        }
        resetting_.store(false, std::memory_order_release);
    }

    const std::vector<LV2Port>& ports = ports_.ports();
    const std::uint32_t inputs = ports_.audioInputs();
    const std::uint32_t outputs = ports_.audioOutputs();
    const bool perChannel = instances_.size() > 1 || (inputs == 1 && outputs == 1);
    const bool bypassed = enabledBypass_.load(std::memory_order_relaxed);
    for (std::size_t k = 0; k < instances_.size(); ++k) {
        Instance& instance = *instances_[k];
        for (const LV2Port& port : ports) {
            if (port.kind == LV2PortKind::control && port.input) {
                float& value = instance.controls[port.index];
                switch (port.role) {
                    case LV2ControlRole::parameter:
                        value = parameter(port.index);
                        break;
                    case LV2ControlRole::enabled:
                        value = bypassed ? 0.0f : 1.0f;
                        break;
                    case LV2ControlRole::freeWheeling:
                        value = 0.0f;
                        break;
                    case LV2ControlRole::sampleRate:
                        value = sampleRate_;
                        break;
                }
            } else if (port.kind == LV2PortKind::atom) {
                auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(instance.atoms[port.index].data());
                if (port.input) {
                    sequence->atom = {sizeof(LV2_Atom_Sequence_Body), atomSequenceType_};
                    sequence->body = {0, 0};
                } else {
                    sequence->atom = {port.atomCapacity - static_cast<std::uint32_t>(sizeof(LV2_Atom)), atomChunkType_};
                }
            }
        }
        if (perChannel) {
            std::copy_n(channels[k], frames, instance.audioIn[0].data());
        } else {
            for (std::uint32_t i = 0; i < inputs; ++i) {
                float* in = instance.audioIn[i].data();
                if (inputs == channelCount) {
                    std::copy_n(channels[i], frames, in);
                } else if (channelCount == 1) {
                    std::copy_n(channels[0], frames, in);
                } else {
                    for (UInt32 f = 0; f < frames; ++f) {
                        in[f] = (channels[0][f] + channels[1][f]) * 0.5f;
                    }
                }
            }
        }
        lilv_instance_run(instance.lilv, frames);
        if (perChannel) {
            std::copy_n(instance.audioOut[0].data(), frames, channels[k]);
        } else if (outputs == channelCount) {
            for (std::uint32_t o = 0; o < outputs; ++o) {
                std::copy_n(instance.audioOut[o].data(), frames, channels[o]);
            }
        } else if (channelCount == 1) {
            const float* left = instance.audioOut[0].data();
            const float* right = instance.audioOut[1].data();
            for (UInt32 f = 0; f < frames; ++f) {
                channels[0][f] = (left[f] + right[f]) * 0.5f;
            }
        } else {
            for (UInt32 c = 0; c < channelCount; ++c) {
                std::copy_n(instance.audioOut[0].data(), frames, channels[c]);
            }
        }
    }

    if (!instances_.empty()) {
        const Instance& first = *instances_.front();
        for (const LV2Port& port : ports) {
            if (port.kind == LV2PortKind::control && !port.input) {
                outputValues_[port.index].store(first.controls[port.index], std::memory_order_relaxed);
            }
        }
        if (const auto latency = ports_.latencyPort()) {
            latencyFrames_.store(std::max(0.0f, first.controls[*latency]), std::memory_order_relaxed);
        }
    }
    ranSinceActivation_ = true;
    instanceInUse_.store(false, std::memory_order_release);
}

Float64 LV2EffectAudioUnit::reportedLatency(Float64 sampleRate) const {
    return sampleRate > 0.0 ? latencyFrames_.load(std::memory_order_relaxed) / sampleRate : 0.0;
}

void LV2EffectAudioUnit::restoreInstances(const LilvState* state) {
    if (instances_.empty()) {
        return;
    }
    const auto features = this->features();
    acquire(instanceInUse_);
    for (const auto& instance : instances_) {
        lilv_state_restore(state, instance->lilv, nullptr, nullptr, 0, features.data());
    }
    instanceInUse_.store(false, std::memory_order_release);
}

std::vector<const LV2_Feature*> LV2EffectAudioUnit::features() const {
    LV2URIDMap& urids = world_->urids();
    return {urids.mapFeature(),    urids.unmapFeature(), &optionsFeature_,       &boundedBlockFeature_,
            &defaultStateFeature_, &isLiveFeature_,      &inPlaceBrokenFeature_, nullptr};
}

}  // namespace velunto
