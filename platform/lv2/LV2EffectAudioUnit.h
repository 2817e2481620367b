#pragma once

#include <lilv/lilv.h>
#include <lv2/options/options.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/audiounit/EffectAudioUnit.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "platform/lv2/LV2PluginEditor.h"
#include "platform/lv2/LV2PluginPorts.h"
#include "platform/lv2/LV2World.h"

namespace velunto {

// An LV2 plug-in run as an effect unit. initialize() instantiates it at the stream format's rate
// (lv2 activate, then one silent block so that the latency port holds its value) and connects every
// port: audio to buffers of its own (the plug-in never processes in place), control ports to values,
// CV ports to buffers of silence, atom inputs to an empty sequence and atom outputs to a sequence
// buffer of at least 8 KiB.
//
// Channels: a plug-in with one input and one output runs one instance per channel of the stream.
// Otherwise one instance runs: a stereo input takes a mono stream on both sides and a stereo output
// is mixed to a mono stream as (left + right) / 2 (exactly the input of a plug-in that treats both
// sides alike); a mono input takes a stereo stream as (left + right) / 2 and a mono output goes to
// both channels.
//
// Parameters: every control input (id = port index) except those the host drives (lv2:enabled,
// lv2:freeWheeling, the sample rate). Values conform to the port: toggles 0 or 1, integers rounded,
// enumerations the nearest scale point.
//
// Bypass: a plug-in with an lv2:enabled port is bypassed by setting that port to 0 (it fades
// itself); for any other the host bypass of EffectAudioUnit applies.
//
// Latency: the lv2:latency (or lv2:reportsLatency) control output after the last block, in seconds.
//
// Full state: EffectAudioUnit's dictionary, and for a plug-in with the state extension its state as
// Turtle text under "lv2State" (port values stay in "data"). setFullState refuses a "lv2State" that
// is not text, does not parse or belongs to another plug-in. Restoring it while initialised stops
// the plug-in for the moment it takes: the blocks processed meanwhile pass unchanged.
//
// reset(): the instances are deactivated and activated again at the start of the next block. That
// happens on the audio thread; most plug-ins only clear memory there, but LV2 does not forbid
// allocating in activate().
//
// Real-time: render takes no lock and allocates nothing.
class LV2EffectAudioUnit final : public EffectAudioUnit {
public:
    static constexpr const char* kLV2StateKey = "lv2State";

    LV2EffectAudioUnit(std::shared_ptr<LV2World> world, const LV2PluginDescription& plugin);
    ~LV2EffectAudioUnit() override;

    // kAudioUnitErr_FailedInitialization if the plug-in cannot be instantiated.
    OSStatus initialize() override;
    OSStatus getProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, void* outData,
                         UInt32* ioDataSize) override;
    OSStatus setProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element, const void* inData,
                         UInt32 dataSize) override;

    std::optional<PropertyListValue> fullState() const override;
    bool setFullState(const PropertyListValue& dictionary) override;
    OSStatus setParameterValue(AudioUnitParameterID id, AudioUnitParameterValue value) override;

    // A UI suil can embed in an X11 window.
    bool hasCustomView() const override { return ui_.has_value(); }
    std::unique_ptr<AudioUnitEditor> createEditor(std::uintptr_t parentX11Window) override;

    const LV2PluginDescription& plugin() const { return plugin_; }
    const std::vector<LV2Port>& ports() const { return ports_.ports(); }
    // Whether bypass drives the plug-in's lv2:enabled port.
    bool bypassesThroughEnablePort() const { return ports_.enabledPort().has_value(); }
    // Instances running (0 while uninitialised).
    std::uint32_t instanceCount() const { return static_cast<std::uint32_t>(instances_.size()); }

    // For an editor, any thread: a control input's value (a parameter, or 1/0 for enabled/bypassed),
    // or a control output's value after the last block. None for another port.
    std::optional<float> controlPortValue(std::uint32_t index) const;
    // For an editor: sets a control input as its UI asks; other ports are ignored.
    void writeControlPort(std::uint32_t index, float value);

protected:
    void allocate(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) override;
    void deallocate() override;
    void clear() override;
    void render(float* const* channels, UInt32 channelCount, UInt32 frames) override;
    Float64 reportedLatency(Float64 sampleRate) const override;

private:
    struct Instance;
    struct Scan;

    LV2EffectAudioUnit(std::shared_ptr<LV2World> world, const LV2PluginDescription& plugin, Scan&& scan);

    // Restores `state` into every instance, waiting for a block that is running. Call with the
    // world's mutex and stateMutex_ held.
    void restoreInstances(const LilvState* state);
    std::vector<const LV2_Feature*> features() const;

    const std::shared_ptr<LV2World> world_;
    const LV2PluginDescription plugin_;
    const LilvPlugin* lilvPlugin_;
    const LV2PluginPorts ports_;
    const std::optional<LV2UIDescription> ui_;

    // The features given at instantiation; the option values live here.
    float sampleRateOption_ = 48000.0f;
    std::int32_t minBlockOption_ = 1;
    std::int32_t maxBlockOption_ = 4096;
    std::int32_t sequenceSizeOption_ = static_cast<std::int32_t>(LV2PluginPorts::kMinimumAtomCapacity);
    std::vector<LV2_Options_Option> options_;
    LV2_Feature optionsFeature_;
    LV2_Feature boundedBlockFeature_;
    LV2_Feature defaultStateFeature_;
    LV2_Feature isLiveFeature_;
    LV2_Feature inPlaceBrokenFeature_;

    // Fixed from allocate() to deallocate().
    std::vector<std::unique_ptr<Instance>> instances_;
    float sampleRate_ = 48000.0f;
    std::uint32_t channels_ = 0;
    std::uint32_t atomSequenceType_ = 0;
    std::uint32_t atomChunkType_ = 0;

    std::atomic<bool> enabledBypass_{false};
    std::atomic<float> latencyFrames_{0.0f};
    std::unique_ptr<std::atomic<float>[]> outputValues_;  // per port: control outputs after the last block

    // Hand-over between the audio thread and state operations (no locks on the audio thread):
    // render holds instanceInUse_ while it runs the instances and skips a block it cannot get;
    // restore waits for it. A save may run alongside run() but not alongside a reset, which render
    // only performs while no save is announced in savers_.
    std::atomic<bool> instanceInUse_{false};
    std::atomic<bool> instanceResetPending_{false};
    std::atomic<bool> resetting_{false};
    mutable std::atomic<int> savers_{0};
    bool ranSinceActivation_ = false;

    // Serialises state operations with allocate/deallocate; holds the plug-in state while there is no
    // instance (restored at instantiation) and the last one restored.
    mutable std::mutex stateMutex_;
    std::string pendingState_;
};

}  // namespace velunto
