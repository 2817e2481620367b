#include "platform/avaudio/AVAudioNode.h"

#include <thread>

#include "platform/avaudio/AVAudioNodeTap.h"

namespace velunto {

AVAudioNode::~AVAudioNode() {
    removeTap(0);
}

AVAudioFormat AVAudioNode::inputFormat(AVAudioNodeBus) const {
    return inputFormat_;
}

AVAudioFormat AVAudioNode::outputFormat(AVAudioNodeBus) const {
    return outputFormat_;
}

bool AVAudioNode::prepare(const std::optional<AVAudioFormat>& input, const AVAudioFormat& output, UInt32 maxInputFrames,
                          UInt32& maxOutputFrames, NSError*) {
    if (input)
        inputFormat_ = *input;
    outputFormat_ = output;
    maxOutputFrames = maxInputFrames;
    return true;
}

void AVAudioNode::installTap(AVAudioNodeBus, UInt32 bufferSize, std::optional<AVAudioFormat> format,
                             AVAudioNodeTapBlock block) {
    removeTap(0);
    const AVAudioFormat tapFormat = format.value_or(outputFormat(0));
    if (!tapFormat.isValid())
        return;
    auto tap = std::make_shared<AVAudioNodeTap>(tapFormat, bufferSize, std::move(block));
    tap->start();
    tapOwner_ = tap;
    tap_.store(tap.get(), std::memory_order_release);
}

void AVAudioNode::removeTap(AVAudioNodeBus) {
    if (!tapOwner_)
        return;
    tap_.store(nullptr);
    while (tapUsers_.load() != 0)
        std::this_thread::yield();  // a push in progress
    tapOwner_->stop();
    tapOwner_.reset();
}

// Real-time.
void AVAudioNode::feedTap(const AVAudioPCMBuffer& output, const AudioTimeStamp& time) {
    tapUsers_.fetch_add(1);
    if (AVAudioNodeTap* tap = tap_.load())
        tap->push(output, time);
    tapUsers_.fetch_sub(1);
}

}  // namespace velunto
