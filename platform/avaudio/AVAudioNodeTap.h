#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include <boost/lockfree/spsc_queue.hpp>

#include "platform/avaudio/AVAudioNode.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSourceTimer.h"

namespace velunto {

// The collecting end of a tap: the audio thread pushes rendered samples into lock-free rings, a timer
// on the tap queue hands them to the block in buffers of the tap's size.
class AVAudioNodeTap : public std::enable_shared_from_this<AVAudioNodeTap> {
public:
    AVAudioNodeTap(const AVAudioFormat& format, UInt32 bufferSize, AVAudioNodeTapBlock block);
    ~AVAudioNodeTap();
    AVAudioNodeTap(const AVAudioNodeTap&) = delete;
    AVAudioNodeTap& operator=(const AVAudioNodeTap&) = delete;

    void start();
    void stop();
    // Real-time.
    void push(const AVAudioPCMBuffer& buffer, const AudioTimeStamp& time);

private:
    void drain();

    const AVAudioFormat format_;
    const UInt32 bufferSize_;
    AVAudioNodeTapBlock block_;
    std::vector<std::unique_ptr<boost::lockfree::spsc_queue<float>>> rings_;
    AVAudioPCMBuffer delivery_;
    std::atomic<double> nextSampleTime_{0};
    std::atomic<std::uint64_t> lastHostTime_{0};
    std::atomic<bool> active_{true};
    DispatchQueue queue_;
    std::shared_ptr<DispatchSourceTimer> timer_;
};

}  // namespace velunto
