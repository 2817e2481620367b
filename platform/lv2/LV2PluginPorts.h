#pragma once

#include <lilv/lilv.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/lv2/LV2World.h"

namespace velunto {

enum class LV2PortKind { audio, control, cv, atom, other };

// What a control input is for: an ordinary parameter, or driven by the host itself.
enum class LV2ControlRole { parameter, enabled, freeWheeling, sampleRate };

// One port of a plug-in as the host connects it.
struct LV2Port {
    std::uint32_t index = 0;
    std::string symbol;
    std::string name;
    LV2PortKind kind = LV2PortKind::other;
    bool input = true;
    bool optional = false;  // lv2:connectionOptional

    // Control inputs. The range is the port's own, with 0–1 for a toggle and gaps filled sensibly.
    LV2ControlRole role = LV2ControlRole::parameter;
    float minimum = 0.0f;
    float maximum = 1.0f;
    float defaultValue = 0.0f;
    bool toggled = false;
    bool integer = false;
    std::vector<float> scalePoints;  // ascending, for an lv2:enumeration port
    std::string unit;                // units:symbol of its units:unit, if any

    std::uint32_t atomCapacity = 0;  // bytes, for atom ports

    // The value the port really gets for `value`: toggles are 0 or 1, integers rounded, enumerations
    // the nearest scale point, everything inside the range.
    float conform(float value) const;
};

// The ports of a plug-in and whether the host can connect all of them.
class LV2PluginPorts {
public:
    static constexpr std::uint32_t kMinimumAtomCapacity = 8192;

    // Call with the world's mutex held.
    LV2PluginPorts(const LV2World& world, const LilvPlugin* plugin);

    const std::vector<LV2Port>& ports() const { return ports_; }
    std::uint32_t audioInputs() const { return audioInputs_; }
    std::uint32_t audioOutputs() const { return audioOutputs_; }
    // Indices into ports() (which equal port indices), in port order.
    const std::vector<std::uint32_t>& audioInputIndices() const { return audioIn_; }
    const std::vector<std::uint32_t>& audioOutputIndices() const { return audioOut_; }
    std::optional<std::uint32_t> enabledPort() const { return enabled_; }
    std::optional<std::uint32_t> latencyPort() const { return latency_; }
    // Why some port cannot be connected, or none.
    const std::optional<std::string>& unsupported() const { return unsupported_; }

private:
    std::vector<LV2Port> ports_;
    std::uint32_t audioInputs_ = 0;
    std::uint32_t audioOutputs_ = 0;
    std::vector<std::uint32_t> audioIn_;
    std::vector<std::uint32_t> audioOut_;
    std::optional<std::uint32_t> enabled_;
    std::optional<std::uint32_t> latency_;
    std::optional<std::string> unsupported_;
};

}  // namespace velunto
