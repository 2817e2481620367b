#include "platform/sparkle/SUStandardVersionComparator.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

namespace velunto {

namespace {

enum class RunType { number, period, text };

struct Run {
    RunType type;
    std::string_view text;
};

RunType typeOf(char c) {
    if (c >= '0' && c <= '9')
        return RunType::number;
    if (c == '.')
        return RunType::period;
    return RunType::text;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Each period is a run of its own; digits and text group.
std::vector<Run> split(std::string_view version) {
    std::vector<Run> runs;
    std::size_t i = 0;
    while (i < version.size()) {
        if (isSpace(version[i])) {
            ++i;
            continue;
        }
        const RunType type = typeOf(version[i]);
        std::size_t end = i + 1;
        if (type != RunType::period) {
            while (end < version.size() && !isSpace(version[end]) && typeOf(version[end]) == type)
                ++end;
        }
        runs.push_back({type, version.substr(i, end - i)});
        i = end;
    }
    return runs;
}

std::weak_ordering compareNumbers(std::string_view a, std::string_view b) {
    const auto stripZeros = [](std::string_view s) {
        const std::size_t first = s.find_first_not_of('0');
        return first == std::string_view::npos ? std::string_view() : s.substr(first);
    };
    a = stripZeros(a);
    b = stripZeros(b);
    if (a.size() != b.size())
        return a.size() <=> b.size();
    return a.compare(b) <=> 0;
}

std::weak_ordering compareRuns(const Run& a, const Run& b) {
    if (a.type == b.type) {
        switch (a.type) {
            case RunType::number:
                return compareNumbers(a.text, b.text);
            case RunType::text:
                return a.text.compare(b.text) <=> 0;
            case RunType::period:
                return std::weak_ordering::equivalent;
        }
    }
    if (a.type == RunType::text)
        return std::weak_ordering::less;
    if (b.type == RunType::text)
        return std::weak_ordering::greater;
    // A period counts as 0: both stand for a missing run, so anything else would not be transitive.
    return a.type == RunType::number ? compareNumbers(a.text, "0") : compareNumbers("0", b.text);
}

// The shorter version's stand-in for the longer one's run at the same position; none for text.
std::optional<Run> padding(const Run& longer) {
    switch (longer.type) {
        case RunType::number:
            return Run{RunType::number, "0"};
        case RunType::period:
            return longer;
        case RunType::text:
            break;
    }
    return std::nullopt;
}

}  // namespace

std::weak_ordering SUStandardVersionComparator::compareVersions(std::string_view a, std::string_view b) {
    const std::vector<Run> runsA = split(a);
    const std::vector<Run> runsB = split(b);
    const std::size_t count = std::max(runsA.size(), runsB.size());
    for (std::size_t i = 0; i < count; ++i) {
        if (i < runsA.size() && i < runsB.size()) {
            if (const auto order = compareRuns(runsA[i], runsB[i]); order != 0)
                return order;
            continue;
        }
        const bool aIsLonger = i < runsA.size();
        const Run& extra = aIsLonger ? runsA[i] : runsB[i];
        const std::optional<Run> pad = padding(extra);
        if (!pad)  // a pre-release suffix: the shorter version is newer
            return aIsLonger ? std::weak_ordering::less : std::weak_ordering::greater;
        const auto order = aIsLonger ? compareRuns(extra, *pad) : compareRuns(*pad, extra);
        if (order != 0)
            return order;
    }
    return std::weak_ordering::equivalent;
}

}  // namespace velunto
