#include "platform/avaudio/AVAudioNodeTap.h"

#include <algorithm>
#include <chrono>

namespace velunto {

AVAudioNodeTap::AVAudioNodeTap(const AVAudioFormat& format, UInt32 bufferSize, AVAudioNodeTapBlock block)
    : format_(format),
      bufferSize_(std::max<UInt32>(bufferSize, 1)),
      block_(std::move(block)),
      delivery_(AVAudioFormat(format.sampleRate(), format.channelCount()), bufferSize_),
      queue_("velunto.avaudio.tap") {
    // Room for a second of audio beyond one delivery, so a slow tap block loses nothing in between.
    const std::size_t capacity = bufferSize_ + static_cast<std::size_t>(format.sampleRate());
    for (UInt32 c = 0; c < format.channelCount(); ++c)
        rings_.push_back(std::make_unique<boost::lockfree::spsc_queue<float>>(capacity));
}

AVAudioNodeTap::~AVAudioNodeTap() {
    stop();
}

void AVAudioNodeTap::start() {
    timer_ = DispatchSourceTimer::make(queue_);
    const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(bufferSize_ / format_.sampleRate() * 0.5e9));
    timer_->schedule(DispatchTime::now() + period, std::max(period, std::chrono::nanoseconds(1'000'000)));
    timer_->setEventHandler([weak = weak_from_this()] {
        if (auto tap = weak.lock())
            tap->drain();
    });
    timer_->resume();
}

void AVAudioNodeTap::stop() {
    active_.store(false, std::memory_order_release);
    if (timer_)
        timer_->cancel();
    // A drain already running finishes; none starts after this.
    if (!queue_.isCurrent())
        queue_.sync([] {});
}

// Real-time.
void AVAudioNodeTap::push(const AVAudioPCMBuffer& buffer, const AudioTimeStamp& time) {
    const AudioBufferList* list = buffer.audioBufferList();
    const UInt32 frames = buffer.frameLength();
    for (std::size_t c = 0; c < rings_.size() && c < list->mNumberBuffers; ++c)
        rings_[c]->push(static_cast<const float*>(list->mBuffers[c].mData), frames);
    lastHostTime_.store(time.mHostTime, std::memory_order_relaxed);
}

void AVAudioNodeTap::drain() {
    while (active_.load(std::memory_order_acquire) && rings_[0]->read_available() >= bufferSize_) {
        for (std::size_t c = 0; c < rings_.size(); ++c) {
            const std::size_t available = rings_[c]->read_available();
            rings_[c]->pop(delivery_.floatChannelData()[c], std::min<std::size_t>(available, bufferSize_));
        }
        delivery_.setFrameLength(bufferSize_);
        AudioTimeStamp when{};
        when.mSampleTime = nextSampleTime_.load();
        when.mHostTime = lastHostTime_.load(std::memory_order_relaxed);
        when.mFlags = kAudioTimeStampSampleHostTimeValid;
        nextSampleTime_.store(when.mSampleTime + bufferSize_);
        block_(delivery_, when);
    }
}

}  // namespace velunto
