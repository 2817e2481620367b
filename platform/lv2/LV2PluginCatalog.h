#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/audiounit/AudioUnit.h"
#include "platform/lv2/LV2World.h"

namespace velunto {

class LV2EffectAudioUnit;

// A plug-in the host can run as an effect, with the component codes it is registered under.
struct LV2PluginDescription {
    std::string uri;
    std::string name;
    std::string author;  // doap author, else the project's name, else the URI's host
    AudioComponentDescription component{};
    UInt32 version = 0;  // lv2:minorVersion << 16 | lv2:microVersion
    UInt32 audioInputs = 0;
    UInt32 audioOutputs = 0;
    bool hasState = false;  // offers the LV2 state extension
};

// The LV2 plug-ins installed on the machine that the host can run as effects: one or two audio
// inputs and one or two outputs, not an instrument, every port connectable, and no required feature
// beyond those the host gives: urid:map and urid:unmap, options:options (sample rate, minimum,
// maximum and nominal block length, sequence size), buf-size:boundedBlockLength,
// state:loadDefaultState, and the statements lv2:isLive and lv2:inPlaceBroken (the host never
// processes in place). Not given: worker:schedule (the plug-ins needing it load files such as
// impulse responses through atom messages, which the host does not send), instance-access,
// fixed or power-of-two block lengths. Skipped plug-ins are logged ("app.velunto", "LV2") once each
// per process.
class LV2PluginCatalog {
public:
    explicit LV2PluginCatalog(std::shared_ptr<LV2World> world = std::make_shared<LV2World>());

    // The catalog of the registered components, made on first use.
    static LV2PluginCatalog& shared();
    // Registers every plug-in of shared() with AudioComponentRegistry::shared() as an effect ('aufx',
    // flags 0), named after the plug-in, with its author as vendor. Only the first call registers;
    // thread-safe.
    static void registerInstalledPlugins();

    // In URI order.
    const std::vector<LV2PluginDescription>& plugins() const { return plugins_; }
    // The plug-ins left out, in URI order, each with the reason.
    const std::vector<std::pair<std::string, std::string>>& skipped() const { return skipped_; }
    const LV2PluginDescription* find(std::string_view uri) const;
    // Matches type, subtype and manufacturer exactly.
    const LV2PluginDescription* find(const AudioComponentDescription& component) const;

    // A new, uninitialised unit of a listed plug-in; null if the plug-in is not listed.
    std::unique_ptr<LV2EffectAudioUnit> makeUnit(const LV2PluginDescription& plugin) const;

    const std::shared_ptr<LV2World>& world() const { return world_; }

private:
    std::shared_ptr<LV2World> world_;
    std::vector<LV2PluginDescription> plugins_;
    std::vector<std::pair<std::string, std::string>> skipped_;
};

}  // namespace velunto
