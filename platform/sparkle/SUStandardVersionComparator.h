#pragma once

#include <compare>
#include <string_view>

namespace velunto {

// Compares version strings the way update feeds expect.
//
// A version is split into runs: numbers (decimal digits), periods ('.') and text (any other
// characters; whitespace only separates runs). Runs are compared pairwise:
//   - number vs number: by numeric value of any length (1.10 > 1.9, 1.01 == 1.1);
//   - text vs text: bytewise ("a" < "b" < "rc", so 2.0a1 < 2.0b1 < 2.0rc1);
//   - number vs period: the period counts as 0 (1.0.1 > 1.0., 1.0.0 == 1.0.);
//   - text vs number or period: the other side is newer (1.0.1 > 1.0a).
// When one version runs out, its missing numbers count as 0 and its missing periods as periods
// (1.0 == 1.0.0, 1.0 < 1.0.1), but text in the longer version marks a pre-release of the shorter
// one (1.0b2 < 1.0, 1.0-beta < 1.0, 1.0.0b1 < 1.0). The empty version is older than any numbered one.
class SUStandardVersionComparator {
public:
    static std::weak_ordering compareVersions(std::string_view a, std::string_view b);
};

}  // namespace velunto
