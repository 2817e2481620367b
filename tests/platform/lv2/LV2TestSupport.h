#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "platform/audiounit/AudioUnitBase.h"
#include "platform/lv2/LV2EffectAudioUnit.h"
#include "platform/lv2/LV2PluginCatalog.h"
#include "tests/platform/audiounit/EffectUnitDriver.h"

// The plug-ins the tests run, and the Debian packages that install them.
namespace velunto::lv2test {

inline constexpr const char* kAmp = "http://plugin.org.uk/swh-plugins/amp";        // swh-lv2: gain in dB, 1 in 1 out
inline constexpr const char* kLimiterMono = "http://gareus.org/oss/lv2/dpl#mono";  // x42-plugins: latency, enable,
                                                                                   // state, atom ports, X11 UI
inline constexpr const char* kLimiterStereo = "http://gareus.org/oss/lv2/dpl#stereo";
inline constexpr const char* kEqualizer = "http://gareus.org/oss/lv2/fil4#mono";  // x42-plugins: needs 1248-byte
                                                                                  // atom output buffers
inline constexpr const char* kGverb = "http://plugin.org.uk/swh-plugins/gverb";   // swh-lv2: 1 in, 2 out

inline const char* packageOf(const std::string& uri) {
    return uri.find("plugin.org.uk") != std::string::npos ? "swh-lv2" : "x42-plugins";
}

using namespace effecttest;

// Processes the whole signal in blocks of `block` frames; false if a block failed.
bool processAll(AudioUnitBase& unit, Signal& signal, UInt32 block);
// Index of the largest magnitude in `samples`.
std::size_t peakIndex(const std::vector<float>& samples);

}  // namespace velunto::lv2test

// Skips the test when the plug-in (and so its package) is not installed.
#define VELUNTO_REQUIRE_LV2_PLUGIN(catalog, uri)                                                                \
    do {                                                                                                        \
        if ((catalog).find(uri) == nullptr) {                                                                   \
            GTEST_SKIP() << (uri) << " is not installed (Debian package " << ::velunto::lv2test::packageOf(uri) \
                         << ")";                                                                                \
        }                                                                                                       \
    } while (false)
