#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velunto {

// The campaign's only source of chance: splitmix64, so that a seed means the same schedule on every
// machine and standard library.
class CampaignRandom {
public:
    explicit CampaignRandom(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n); n > 0.
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    // Uniform in [low, high].
    std::int64_t between(std::int64_t low, std::int64_t high) {
        return low + static_cast<std::int64_t>(below(static_cast<std::size_t>(high - low + 1)));
    }
    double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
    bool chance(double p) { return unit() < p; }
    // An index drawn with the given weights (not all zero).
    std::size_t weighted(const std::vector<double>& weights) {
        double total = 0;
        for (double w : weights)
            total += w;
        double x = unit() * total;
        for (std::size_t i = 0; i < weights.size(); ++i) {
            if (x < weights[i])
                return i;
            x -= weights[i];
        }
        return weights.size() - 1;
    }

private:
    std::uint64_t state_;
};

}  // namespace velunto
