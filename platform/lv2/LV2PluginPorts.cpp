#include "platform/lv2/LV2PluginPorts.h"

#include <algorithm>
#include <cmath>

namespace velunto {

namespace {

std::string text(const LilvNode* node) {
    const char* value = node == nullptr ? nullptr : lilv_node_as_string(node);
    return value == nullptr ? std::string() : std::string(value);
}

// Takes ownership of `node`.
std::string consume(LilvNode* node) {
    std::string value = text(node);
    lilv_node_free(node);
    return value;
}

}  // namespace

float LV2Port::conform(float value) const {
    value = std::clamp(value, minimum, maximum);
    if (toggled) {
        return value > (minimum + maximum) / 2.0f ? maximum : minimum;
    }
    if (!scalePoints.empty()) {
        const auto nearest = std::min_element(scalePoints.begin(), scalePoints.end(), [value](float a, float b) {
            return std::fabs(a - value) < std::fabs(b - value);
        });
        return *nearest;
    }
    return integer ? std::round(value) : value;
}

LV2PluginPorts::LV2PluginPorts(const LV2World& world, const LilvPlugin* plugin) {
    const LV2Nodes& n = world.nodes();
    const std::uint32_t count = lilv_plugin_get_num_ports(plugin);
    std::vector<float> minimum(count), maximum(count), defaults(count);
    lilv_plugin_get_port_ranges_float(plugin, minimum.data(), maximum.data(), defaults.data());

    const LilvPort* enabled = lilv_plugin_get_port_by_designation(plugin, n.inputPort, n.enabled);
    const LilvPort* freeWheeling = lilv_plugin_get_port_by_designation(plugin, n.inputPort, n.freeWheeling);
    const LilvPort* rate = lilv_plugin_get_port_by_designation(plugin, n.inputPort, n.parameterSampleRate);
    const LilvPort* latency = lilv_plugin_get_port_by_designation(plugin, n.outputPort, n.latency);

    ports_.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        LV2Port& p = ports_[i];
        p.index = i;
        p.symbol = text(lilv_port_get_symbol(plugin, port));
        p.name = consume(lilv_port_get_name(plugin, port));
        if (p.name.empty()) {
            p.name = p.symbol;
        }
        p.input = lilv_port_is_a(plugin, port, n.inputPort);
        const bool output = lilv_port_is_a(plugin, port, n.outputPort);
        p.optional = lilv_port_has_property(plugin, port, n.connectionOptional);
        if (lilv_port_is_a(plugin, port, n.audioPort)) {
            p.kind = LV2PortKind::audio;
        } else if (lilv_port_is_a(plugin, port, n.controlPort)) {
            p.kind = LV2PortKind::control;
        } else if (lilv_port_is_a(plugin, port, n.cvPort)) {
            p.kind = LV2PortKind::cv;
        } else if (lilv_port_is_a(plugin, port, n.atomPort)) {
            p.kind = LV2PortKind::atom;
        }
        if ((p.input == output || p.kind == LV2PortKind::other) && !p.optional && !unsupported_) {
            unsupported_ = "port '" + p.symbol + "' is of a kind the host does not connect";
        }

        if (p.kind == LV2PortKind::audio) {
            (p.input ? audioIn_ : audioOut_).push_back(i);
        } else if (p.kind == LV2PortKind::atom) {
            LilvNodes* sizes = lilv_port_get_value(plugin, port, n.minimumSize);
            std::uint32_t capacity = kMinimumAtomCapacity;
            LILV_FOREACH(nodes, it, sizes) {
                const LilvNode* size = lilv_nodes_get(sizes, it);
                if (lilv_node_is_int(size) && lilv_node_as_int(size) > 0) {
                    capacity = std::max(capacity, static_cast<std::uint32_t>(lilv_node_as_int(size)));
                }
            }
            lilv_nodes_free(sizes);
            p.atomCapacity = (capacity + 7u) & ~7u;
        } else if (p.kind == LV2PortKind::control) {
            if (port == latency || (!p.input && lilv_port_has_property(plugin, port, n.reportsLatency))) {
                if (!p.input && !latency_) {
                    latency_ = i;
                }
            }
            if (!p.input) {
                continue;
            }
            if (port == enabled) {
                p.role = LV2ControlRole::enabled;
                enabled_ = i;
            } else if (port == freeWheeling) {
                p.role = LV2ControlRole::freeWheeling;
            } else if (port == rate) {
                p.role = LV2ControlRole::sampleRate;
            }
            p.toggled = lilv_port_has_property(plugin, port, n.toggled);
            p.integer = lilv_port_has_property(plugin, port, n.integer);
            // A port given in fractions of the rate is shown at the application's 48 kHz.
            const float scale = lilv_port_has_property(plugin, port, n.sampleRate) ? 48000.0f : 1.0f;
            const float low = std::isnan(minimum[i]) ? 0.0f : minimum[i] * scale;
            const float high = !std::isnan(maximum[i]) ? maximum[i] * scale
                               : p.toggled             ? std::max(low, 1.0f)
                                                       : low + 1.0f;
            p.minimum = std::min(low, high);
            p.maximum = std::max(low, high);
            p.defaultValue = std::isnan(defaults[i]) ? p.minimum : defaults[i] * scale;
            if (lilv_port_has_property(plugin, port, n.enumeration)) {
                if (LilvScalePoints* points = lilv_port_get_scale_points(plugin, port)) {
                    LILV_FOREACH(scale_points, it, points) {
                        const LilvNode* value = lilv_scale_point_get_value(lilv_scale_points_get(points, it));
                        if (lilv_node_is_float(value) || lilv_node_is_int(value)) {
                            p.scalePoints.push_back(lilv_node_as_float(value));
                        }
                    }
                    lilv_scale_points_free(points);
                }
                std::sort(p.scalePoints.begin(), p.scalePoints.end());
            }
            p.defaultValue = p.conform(p.defaultValue);
            LilvNodes* units = lilv_port_get_value(plugin, port, n.unitsUnit);
            if (units != nullptr && lilv_nodes_size(units) > 0) {
                const LilvNode* unit = lilv_nodes_get_first(units);
                p.unit = consume(lilv_world_get(world.world(), unit, n.unitsSymbol, nullptr));
            }
            lilv_nodes_free(units);
        }
    }
    audioInputs_ = static_cast<std::uint32_t>(audioIn_.size());
    audioOutputs_ = static_cast<std::uint32_t>(audioOut_.size());
}

}  // namespace velunto
