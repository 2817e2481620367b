#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/audiounit/AudioUnit.h"
#include "platform/audiounit/AudioUnitBase.h"
#include "platform/avaudio/AVAudioNode.h"

namespace velunto {

// A node around an audio unit instance, processing in place. The node owns the instance.
class AVAudioUnit : public AVAudioNode {
public:
    ~AVAudioUnit() override;

    // Makes the unit described, on a global queue; the completion runs there with the node or an error.
    static void instantiate(const AudioComponentDescription& description, UInt32 options,
                            std::function<void(std::shared_ptr<AVAudioUnit>, std::optional<NSError>)> completion);
    // The same, at once, on the calling thread.
    static std::shared_ptr<AVAudioUnit> make(const AudioComponentDescription& description, NSError* error = nullptr);

    AudioUnit audioUnit() const { return unit_; }
    AudioUnitBase& unit() const { return *object_; }
    const AudioComponentDescription& audioComponentDescription() const { return description_; }
    // The unit's own latency report in seconds.
    double latency() const;
    // The unit's bypass-effect property; false (and ignored) for a unit without one.
    bool shouldBypassEffect() const;
    void setShouldBypassEffect(bool bypass);
    void reset() override;

protected:
    AVAudioUnit(AudioUnit unit, std::shared_ptr<AudioUnitBase> object, const AudioComponentDescription& description);

    bool prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output, UInt32 maxInputFrames,
                 UInt32& maxOutputFrames, NSError* error) override;
    UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames,
                  AVAudioPCMBuffer& output) override;

private:
    AudioUnit unit_;
    std::shared_ptr<AudioUnitBase> object_;
    AudioComponentDescription description_;
};

}  // namespace velunto
