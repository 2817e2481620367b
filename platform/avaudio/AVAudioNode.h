#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "platform/avaudio/AVAudioFormat.h"
#include "platform/avaudio/AVAudioPCMBuffer.h"
#include "platform/foundation/NSError.h"

namespace velunto {

class AVAudioEngine;
class AVAudioNodeTap;

using AVAudioNodeBus = UInt32;
// Called on the engine's tap queue with buffers of the tap's size, in order.
using AVAudioNodeTapBlock = std::function<void(AVAudioPCMBuffer& buffer, const AudioTimeStamp& when)>;

// A node of the audio engine graph. The engine connects nodes into a chain and, while running, calls
// every node's render once per cycle on the audio thread. Make nodes with std::make_shared.
class AVAudioNode : public std::enable_shared_from_this<AVAudioNode> {
public:
    virtual ~AVAudioNode();
    AVAudioNode(const AVAudioNode&) = delete;
    AVAudioNode& operator=(const AVAudioNode&) = delete;

    // The engine the node is attached to, or null.
    AVAudioEngine* engine() const { return engine_; }
    // Formats of bus 0 as the connections set them.
    virtual AVAudioFormat inputFormat(AVAudioNodeBus bus) const;
    virtual AVAudioFormat outputFormat(AVAudioNodeBus bus) const;

    // Taps the node's output on bus 0. Format must be absent or the bus's own. One tap per bus.
    void installTap(AVAudioNodeBus bus, UInt32 bufferSize, std::optional<AVAudioFormat> format,
                    AVAudioNodeTapBlock block);
    // No delivery starts after it returns.
    void removeTap(AVAudioNodeBus bus);

    virtual void reset() {}

protected:
    AVAudioNode() = default;

    friend class AVAudioEngine;
    // Off the audio thread, before a run: `input` (absent for sources) and `output` are this node's
    // formats, maxInputFrames the most frames one render hands it. Sets maxOutputFrames.
    virtual bool prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output, UInt32 maxInputFrames,
                         UInt32& maxOutputFrames, NSError* error);
    // Real-time: turns `input` (null for a source) into `output`; returns the frames written.
    virtual UInt32 render(const AudioTimeStamp& time, AVAudioPCMBuffer* input, UInt32 frames,
                          AVAudioPCMBuffer& output) = 0;
    virtual void unprepare() {}

    // Real-time: hands a rendered block to the tap, if any.
    void feedTap(const AVAudioPCMBuffer& output, const AudioTimeStamp& time);

    AVAudioEngine* engine_ = nullptr;
    AVAudioFormat inputFormat_;
    AVAudioFormat outputFormat_;

private:
    std::shared_ptr<AVAudioNodeTap> tapOwner_;
    std::atomic<AVAudioNodeTap*> tap_{nullptr};
    std::atomic<int> tapUsers_{0};
};

}  // namespace velunto
