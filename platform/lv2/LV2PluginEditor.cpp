#include "platform/lv2/LV2PluginEditor.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/lv2/LV2EffectAudioUnit.h"

namespace velunto {

namespace {

constexpr const char* kProvidedUIFeatures[] = {LV2_URID__map,  LV2_URID__unmap,       LV2_UI__parent,
                                               LV2_UI__resize, LV2_UI__idleInterface, LV2_OPTIONS__options};

std::string path(const LilvNode* uri) {
    char* parsed = uri == nullptr ? nullptr : lilv_file_uri_parse(lilv_node_as_uri(uri), nullptr);
    std::string result = parsed == nullptr ? std::string() : std::string(parsed);
    lilv_free(parsed);
    return result;
}

bool providesEveryFeature(const LV2World& world, const LilvUI* ui) {
    LilvNodes* required =
        lilv_world_find_nodes(world.world(), lilv_ui_get_uri(ui), world.nodes().requiredFeature, nullptr);
    bool provided = true;
    LILV_FOREACH(nodes, it, required) {
        const char* feature = lilv_node_as_uri(lilv_nodes_get(required, it));
        provided = provided && feature != nullptr &&
                   std::any_of(std::begin(kProvidedUIFeatures), std::end(kProvidedUIFeatures),
                               [feature](const char* known) { return std::strcmp(feature, known) == 0; });
    }
    lilv_nodes_free(required);
    return provided;
}

}  // namespace

std::optional<LV2UIDescription> LV2PluginEditor::find(const LV2World& world, const LilvPlugin* plugin) {
    LilvUIs* uis = lilv_plugin_get_uis(plugin);
    std::optional<LV2UIDescription> found;
    LILV_FOREACH(uis, it, uis) {
        const LilvUI* ui = lilv_uis_get(uis, it);
        lilv_world_load_resource(world.world(), lilv_ui_get_uri(ui));
        const LilvNode* type = nullptr;
        if (lilv_ui_is_supported(ui, suil_ui_supported, world.nodes().x11UI, &type) == 0 || type == nullptr ||
            !providesEveryFeature(world, ui)) {
            continue;
        }
        LV2UIDescription description{lilv_node_as_uri(lilv_ui_get_uri(ui)), lilv_node_as_uri(type),
                                     path(lilv_ui_get_bundle_uri(ui)), path(lilv_ui_get_binary_uri(ui))};
        if (!description.bundlePath.empty() && !description.binaryPath.empty()) {
            found = std::move(description);
            break;
        }
    }
    lilv_uis_free(uis);
    return found;
}

LV2PluginEditor::LV2PluginEditor(LV2EffectAudioUnit& unit, std::shared_ptr<LV2World> world)
    : unit_(unit), world_(std::move(world)), sent_(unit.ports().size(), std::numeric_limits<float>::quiet_NaN()) {}

std::unique_ptr<LV2PluginEditor> LV2PluginEditor::make(LV2EffectAudioUnit& unit, std::shared_ptr<LV2World> world,
                                                       const LV2UIDescription& ui, std::uintptr_t parentX11Window) {
    if (parentX11Window == 0) {
        return nullptr;
    }
    std::unique_ptr<LV2PluginEditor> editor(new LV2PluginEditor(unit, std::move(world)));
    LV2PluginEditor& e = *editor;
    LV2URIDMap& urids = e.world_->urids();
    e.resize_ = {&e, &LV2PluginEditor::resize};
    e.options_ = {
        {LV2_OPTIONS_INSTANCE, 0, urids.map(LV2_UI__updateRate), sizeof(float), urids.map(LV2_ATOM__Float),
         &e.updateRate_},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    };
    e.parentFeature_ = {LV2_UI__parent, reinterpret_cast<void*>(parentX11Window)};
    e.resizeFeature_ = {LV2_UI__resize, &e.resize_};
    e.idleFeature_ = {LV2_UI__idleInterface, nullptr};
    e.optionsFeature_ = {LV2_OPTIONS__options, e.options_.data()};
    const LV2_Feature* features[] = {urids.mapFeature(),
                                     urids.unmapFeature(),
                                     &e.parentFeature_,
                                     &e.resizeFeature_,
                                     &e.idleFeature_,
                                     &e.optionsFeature_,
                                     nullptr};

    e.host_ = suil_host_new(&LV2PluginEditor::write, &LV2PluginEditor::portIndex, nullptr, nullptr);
    if (e.host_ == nullptr) {
        return nullptr;
    }
    e.instance_ = suil_instance_new(e.host_, &e, LV2_UI__X11UI, unit.plugin().uri.c_str(), ui.uri.c_str(),
                                    ui.type.c_str(), ui.bundlePath.c_str(), ui.binaryPath.c_str(), features);
    if (e.instance_ == nullptr) {
        return nullptr;
    }
    e.idleInterface_ =
        static_cast<const LV2UI_Idle_Interface*>(suil_instance_extension_data(e.instance_, LV2_UI__idleInterface));
    e.sendChangedValues();
    return editor;
}

LV2PluginEditor::~LV2PluginEditor() {
    if (instance_ != nullptr) {
        suil_instance_free(instance_);
    }
    if (host_ != nullptr) {
        suil_host_free(host_);
    }
}

void LV2PluginEditor::idle() {
    sendChangedValues();
    if (idleInterface_ != nullptr && idleInterface_->idle != nullptr) {
        idleInterface_->idle(suil_instance_get_handle(instance_));
    }
}

void LV2PluginEditor::sendChangedValues() {
    for (const LV2Port& port : unit_.ports()) {
        const auto value = unit_.controlPortValue(port.index);
        if (!value || *value == sent_[port.index]) {
            continue;
        }
        sent_[port.index] = *value;
        const float current = *value;
        suil_instance_port_event(instance_, port.index, sizeof(float), 0, &current);
    }
}

void LV2PluginEditor::write(SuilController controller, std::uint32_t port, std::uint32_t size, std::uint32_t protocol,
                            const void* buffer) {
    if (protocol != 0 || size != sizeof(float) || buffer == nullptr) {
        return;  // atom messages: the host does not route them to the plug-in
    }
    float value = 0.0f;
    std::memcpy(&value, buffer, sizeof(value));
    auto* editor = static_cast<LV2PluginEditor*>(controller);
    editor->unit_.writeControlPort(port, value);
    if (port < editor->sent_.size()) {
        editor->sent_[port] = value;  // the UI knows what it wrote
    }
}

std::uint32_t LV2PluginEditor::portIndex(SuilController controller, const char* symbol) {
    const auto* editor = static_cast<const LV2PluginEditor*>(controller);
    for (const LV2Port& port : editor->unit_.ports()) {
        if (symbol != nullptr && port.symbol == symbol) {
            return port.index;
        }
    }
    return LV2UI_INVALID_PORT_INDEX;
}

int LV2PluginEditor::resize(LV2UI_Feature_Handle handle, int width, int height) {
    auto* editor = static_cast<LV2PluginEditor*>(handle);
    editor->width_ = std::max(0, width);
    editor->height_ = std::max(0, height);
    return 0;
}

}  // namespace velunto
