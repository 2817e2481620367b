#include "demo/DemoReport.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <utility>

namespace velunto {

std::vector<std::size_t> DemoReport::findClicks(const std::vector<float>& mono, double sampleRate, float threshold,
                                                double minGapSeconds) {
    std::vector<std::size_t> clicks;
    const auto gap = static_cast<std::size_t>(minGapSeconds * sampleRate);
    const auto window = std::max<std::size_t>(1, static_cast<std::size_t>(0.001 * sampleRate));
    std::size_t quietSince = 0;
    for (std::size_t i = 0; i < mono.size(); ++i) {
        if (std::abs(mono[i]) <= threshold)
            continue;
        if (i - quietSince >= gap || (clicks.empty() && quietSince == 0)) {
            std::size_t loudest = i;
            for (std::size_t j = i; j < std::min(mono.size(), i + window); ++j)
                if (std::abs(mono[j]) > std::abs(mono[loudest]))
                    loudest = j;
            clicks.push_back(loudest);
        }
        quietSince = i + 1;
    }
    return clicks;
}

std::vector<DemoReport::Dropout> DemoReport::findDropouts(const std::vector<float>& mono, std::size_t minFrames) {
    std::vector<Dropout> dropouts;
    const auto first = std::find_if(mono.begin(), mono.end(), [](float sample) { return sample != 0.0f; });
    std::size_t zeros = 0;
    for (auto i = first; i != mono.end(); ++i) {
        if (*i == 0.0f) {
            ++zeros;
            continue;
        }
        if (zeros >= std::max<std::size_t>(minFrames, 1))
            dropouts.push_back({static_cast<std::size_t>(i - mono.begin()) - zeros, zeros});
        zeros = 0;
    }
    return dropouts;
}

namespace {

// The lines of a file that begin with two unsigned numbers, as pairs; other lines are skipped.
std::vector<std::pair<std::uint64_t, std::uint64_t>> readNumberPairs(const std::string& path) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        std::pair<std::uint64_t, std::uint64_t> pair;
        if (fields >> pair.first >> pair.second)
            pairs.push_back(pair);
    }
    return pairs;
}

}  // namespace

std::vector<DemoFlash> DemoReport::readFlashes(const std::string& path) {
    std::vector<DemoFlash> flashes;
    for (const auto& [seen, captured] : readNumberPairs(path))
        if (seen >= captured)
            flashes.push_back({seen, captured});
    return flashes;
}

std::vector<DemoStall> DemoReport::readStalls(const std::string& path) {
    std::vector<DemoStall> stalls;
    for (const auto& [due, late] : readNumberPairs(path))
        stalls.push_back({due, late});
    return stalls;
}

std::size_t DemoReport::countDuringStalls(const std::vector<std::uint64_t>& events,
                                          const std::vector<DemoStall>& stalls, std::uint64_t margin) {
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](std::uint64_t event) {
        return std::any_of(stalls.begin(), stalls.end(), [&](const DemoStall& stall) {
            return event + margin >= stall.due && event <= stall.due + stall.late + margin;
        });
    }));
}

std::optional<double> DemoReport::median(std::vector<double> values) {
    if (values.empty())
        return std::nullopt;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

DemoReport::Timing DemoReport::pair(const std::vector<std::uint64_t>& emitted, const std::vector<std::uint64_t>& heard,
                                    const std::vector<DemoFlash>& flashes, std::uint64_t maxLatency,
                                    std::uint64_t maxFrameLag) {
    const auto ms = [](double nanoseconds) { return nanoseconds / 1e6; };
    Timing timing;
    for (const std::uint64_t click : emitted) {
        const auto h = std::find_if(heard.begin(), heard.end(),
                                    [&](std::uint64_t t) { return t >= click && t - click <= maxLatency; });
        const auto f = std::find_if(flashes.begin(), flashes.end(), [&](const DemoFlash& flash) {
            return flash.captured >= click && flash.captured - click <= maxFrameLag;
        });
        if (h != heard.end())
            timing.latenciesMs.push_back(ms(static_cast<double>(*h - click)));
        if (f != flashes.end()) {
            timing.videoDelaysMs.push_back(ms(static_cast<double>(f->seen - f->captured)));
            timing.frameLagsMs.push_back(ms(static_cast<double>(f->captured - click)));
        }
        if (h != heard.end() && f != flashes.end()) {
            // The flash as seen, had the camera captured it at the click's instant.
            const double seen = static_cast<double>(f->seen - f->captured) + static_cast<double>(click);
            timing.avOffsetsMs.push_back(ms(seen - static_cast<double>(*h)));
        }
    }
    return timing;
}

bool DemoReport::write(const nlohmann::ordered_json& report, const std::string& path) {
    std::ofstream file(path, std::ios::trunc);
    file << report.dump(2) << '\n';
    file.close();
    return !file.fail();
}

}  // namespace velunto
