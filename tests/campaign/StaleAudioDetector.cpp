#include "tests/campaign/StaleAudioDetector.h"

#include <cstring>

namespace velunto {

namespace {

std::uint64_t hashWindow(const std::deque<float>& window) {
    std::uint64_t h = 1469598103934665603ull;
    for (float x : window) {
        std::uint32_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        h = (h ^ bits) * 1099511628211ull;
    }
    return h;
}

}  // namespace

std::optional<std::string> StaleAudioDetector::add(const float* samples, std::size_t count, bool fed) {
    for (std::size_t i = 0; i < count; ++i, ++position_) {
        const float x = samples[i];
        if (!fed && x != 0.0f)
            return "Ton " + std::to_string(x) + " bei Probe " + std::to_string(position_) + ", obwohl nichts einspeist";
        recent_.push_back(x);
        if (recent_.size() > kWindow)
            recent_.pop_front();
        if (recent_.size() < kWindow)
            continue;
        bool silent = true;
        for (float y : recent_)
            silent = silent && y == 0.0f;
        if (silent)
            continue;
        const std::uint64_t h = hashWindow(recent_);
        const auto [first, last] = seen_.equal_range(h);
        for (auto it = first; it != last; ++it)
            if ((position_ - it->second) % lap_ == 0)
                return "Proben " + std::to_string(position_ + 1 - kWindow) + "…" + std::to_string(position_) +
                       " wiederholen die bei " + std::to_string(it->second + 1 - kWindow);
        seen_.emplace(h, position_);
        order_.emplace_back(h, position_);
        while (!order_.empty() && position_ - order_.front().second > kMemory) {
            const auto [oldHash, oldPosition] = order_.front();
            order_.pop_front();
            const auto [from, to] = seen_.equal_range(oldHash);
            for (auto it = from; it != to; ++it)
                if (it->second == oldPosition) {
                    seen_.erase(it);
                    break;
                }
        }
    }
    return std::nullopt;
}

void StaleAudioDetector::forget() {
    recent_.clear();
    order_.clear();
    seen_.clear();
}

}  // namespace velunto
