#include "platform/lv2/LV2PluginCatalog.h"

#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include <algorithm>
#include <mutex>
#include <set>

#include "platform/audiounit/AudioComponentRegistry.h"
#include "platform/lv2/LV2ComponentCodes.h"
#include "platform/lv2/LV2EffectAudioUnit.h"
#include "platform/lv2/LV2PluginPorts.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

const Logger& logger() {
    static const Logger instance("app.velunto", "LV2");
    return instance;
}

// Logs why a plug-in is left out, the first time in the process.
void logSkipped(const std::string& uri, const std::string& reason) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    {
        std::lock_guard lock(mutex);
        if (!logged.insert(uri).second) {
            return;
        }
    }
    logger().info("Skipping LV2 plug-in %{public}s: %{public}s", uri.c_str(), reason.c_str());
}

constexpr const char* kProvidedFeatures[] = {
    LV2_URID__map,
    LV2_URID__unmap,
    LV2_OPTIONS__options,
    LV2_BUF_SIZE__boundedBlockLength,
    LV2_STATE__loadDefaultState,
    LV2_CORE__isLive,
    LV2_CORE__inPlaceBroken,
};

std::string text(const LilvNode* node) {
    const char* value = node == nullptr ? nullptr : lilv_node_as_string(node);
    return value == nullptr ? std::string() : std::string(value);
}

std::string consume(LilvNode* node) {
    std::string value = text(node);
    lilv_node_free(node);
    return value;
}

std::string authorOf(const LV2World& world, const LilvPlugin* plugin, const std::string& uri) {
    std::string author = consume(lilv_plugin_get_author_name(plugin));
    if (author.empty()) {
        if (LilvNode* project = lilv_plugin_get_project(plugin)) {
            LilvNode* doapName = lilv_new_uri(world.world(), "http://usefulinc.com/ns/doap#name");
            author = consume(lilv_world_get(world.world(), project, doapName, nullptr));
            lilv_node_free(doapName);
            lilv_node_free(project);
        }
    }
    if (author.empty()) {
        author = LV2ComponentCodes::vendorKey(uri);
    }
    return author;
}

UInt32 versionOf(const LV2World& world, const LilvPlugin* plugin) {
    const auto number = [&](const LilvNode* predicate) {
        LilvNodes* values = lilv_plugin_get_value(plugin, predicate);
        const LilvNode* value = values == nullptr ? nullptr : lilv_nodes_get_first(values);
        const int result = value != nullptr && lilv_node_is_int(value) ? lilv_node_as_int(value) : 0;
        lilv_nodes_free(values);
        return static_cast<UInt32>(std::clamp(result, 0, 0xffff));
    };
    return number(world.nodes().minorVersion) << 16 | number(world.nodes().microVersion);
}

// Why the host cannot run the plug-in as an effect, or none.
std::optional<std::string> rejection(const LV2World& world, const LilvPlugin* plugin, const LV2PluginPorts& ports) {
    if (!lilv_plugin_verify(plugin)) {
        return "its description is incomplete";
    }
    const UInt32 inputs = ports.audioInputs();
    const UInt32 outputs = ports.audioOutputs();
    if (inputs < 1 || inputs > 2 || outputs < 1 || outputs > 2) {
        return "it has " + std::to_string(inputs) + " audio inputs and " + std::to_string(outputs) +
               " audio outputs (the host takes 1 or 2 of each)";
    }
    LilvNodes* types = lilv_plugin_get_value(plugin, world.nodes().rdfType);
    const bool instrument = types != nullptr && lilv_nodes_contains(types, world.nodes().instrumentPlugin);
    lilv_nodes_free(types);
    if (instrument) {
        return "it is an instrument";
    }
    std::optional<std::string> missing;
    LilvNodes* required = lilv_plugin_get_required_features(plugin);
    LILV_FOREACH(nodes, it, required) {
        const std::string feature = text(lilv_nodes_get(required, it));
        if (std::none_of(std::begin(kProvidedFeatures), std::end(kProvidedFeatures),
                         [&](const char* provided) { return feature == provided; })) {
            missing = "it requires " + feature;
            break;
        }
    }
    lilv_nodes_free(required);
    if (missing) {
        return missing;
    }
    return ports.unsupported();
}

}  // namespace

LV2PluginCatalog::LV2PluginCatalog(std::shared_ptr<LV2World> world) : world_(std::move(world)) {
    std::vector<std::string> uris;
    {
        std::lock_guard lock(world_->mutex());
        const LilvPlugins* all = lilv_world_get_all_plugins(world_->world());
        LILV_FOREACH(plugins, it, all) {
            const LilvPlugin* plugin = lilv_plugins_get(all, it);
            const std::string uri = text(lilv_plugin_get_uri(plugin));
            const LV2PluginPorts ports(*world_, plugin);
            if (auto reason = rejection(*world_, plugin, ports)) {
                skipped_.emplace_back(uri, std::move(*reason));
                continue;
            }
            LV2PluginDescription description;
            description.uri = uri;
            description.name = consume(lilv_plugin_get_name(plugin));
            if (description.name.empty()) {
                description.name = uri;
            }
            description.author = authorOf(*world_, plugin, uri);
            description.version = versionOf(*world_, plugin);
            description.audioInputs = ports.audioInputs();
            description.audioOutputs = ports.audioOutputs();
            description.hasState = lilv_plugin_has_extension_data(plugin, world_->nodes().stateInterface);
            plugins_.push_back(std::move(description));
            uris.push_back(uri);
        }
    }
    const auto byURI = [](const auto& a, const auto& b) { return a.uri < b.uri; };
    std::sort(plugins_.begin(), plugins_.end(), byURI);
    std::sort(skipped_.begin(), skipped_.end());
    std::sort(uris.begin(), uris.end());
    const auto codes = LV2ComponentCodes::assign(uris);
    for (std::size_t i = 0; i < plugins_.size(); ++i) {
        plugins_[i].component = {kAudioUnitType_Effect, codes[i].subtype, codes[i].manufacturer, 0, 0};
    }
    for (const auto& [uri, reason] : skipped_) {
        logSkipped(uri, reason);
    }
}

LV2PluginCatalog& LV2PluginCatalog::shared() {
    static LV2PluginCatalog* catalog = new LV2PluginCatalog();  // units made from it may outlive statics
    return *catalog;
}

void LV2PluginCatalog::registerInstalledPlugins() {
    static std::once_flag once;
    std::call_once(once, [] {
        const LV2PluginCatalog& catalog = shared();
        for (const LV2PluginDescription& plugin : catalog.plugins()) {
            AudioComponentRegistry::shared().registerComponent(
                plugin.component, plugin.name, plugin.author,
                [&catalog, &plugin]() -> std::unique_ptr<AudioUnitBase> { return catalog.makeUnit(plugin); });
        }
    });
}

const LV2PluginDescription* LV2PluginCatalog::find(std::string_view uri) const {
    const auto it = std::lower_bound(plugins_.begin(), plugins_.end(), uri,
                                     [](const LV2PluginDescription& p, std::string_view key) { return p.uri < key; });
    return it != plugins_.end() && it->uri == uri ? &*it : nullptr;
}

const LV2PluginDescription* LV2PluginCatalog::find(const AudioComponentDescription& component) const {
    const auto it = std::find_if(plugins_.begin(), plugins_.end(), [&](const LV2PluginDescription& p) {
        return p.component.componentType == component.componentType &&
               p.component.componentSubType == component.componentSubType &&
               p.component.componentManufacturer == component.componentManufacturer;
    });
    return it == plugins_.end() ? nullptr : &*it;
}

std::unique_ptr<LV2EffectAudioUnit> LV2PluginCatalog::makeUnit(const LV2PluginDescription& plugin) const {
    const LV2PluginDescription* listed = find(plugin.uri);
    return listed == nullptr ? nullptr : std::make_unique<LV2EffectAudioUnit>(world_, *listed);
}

}  // namespace velunto
