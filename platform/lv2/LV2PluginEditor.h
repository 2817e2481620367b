#pragma once

#include <lilv/lilv.h>
#include <lv2/options/options.h>
#include <lv2/ui/ui.h>
#include <suil/suil.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audiounit/AudioUnitEditor.h"
#include "platform/lv2/LV2World.h"

namespace velunto {

class LV2EffectAudioUnit;

// A plug-in UI suil can embed in an X11 window, and where its code lives.
struct LV2UIDescription {
    std::string uri;
    std::string type;  // the UI class, e.g. ui:X11UI
    std::string bundlePath;
    std::string binaryPath;
};

// A plug-in's own UI, made by suil inside a host X11 window. Control values the UI writes go to the
// unit's control inputs (its atomics, read by the audio thread); idle() sends the UI every control
// value that changed since, and runs the UI's idle interface. Atom messages from the UI are dropped.
// UI thread only; must be destroyed before its unit.
class LV2PluginEditor final : public AudioUnitEditor {
public:
    // The first UI of the plug-in that suil can embed in an X11 parent and whose required features the
    // host gives (urid:map, urid:unmap, ui:parent, ui:resize, ui:idleInterface, options:options), or
    // none. Call with the world's mutex held.
    static std::optional<LV2UIDescription> find(const LV2World& world, const LilvPlugin* plugin);

    // Null if suil cannot make the UI (no display, a missing library, a UI that fails).
    static std::unique_ptr<LV2PluginEditor> make(LV2EffectAudioUnit& unit, std::shared_ptr<LV2World> world,
                                                 const LV2UIDescription& ui, std::uintptr_t parentX11Window);
    ~LV2PluginEditor() override;

    int width() const override { return width_; }
    int height() const override { return height_; }
    void idle() override;

private:
    LV2PluginEditor(LV2EffectAudioUnit& unit, std::shared_ptr<LV2World> world);

    static void write(SuilController controller, std::uint32_t port, std::uint32_t size, std::uint32_t protocol,
                      const void* buffer);
    static std::uint32_t portIndex(SuilController controller, const char* symbol);
    static int resize(LV2UI_Feature_Handle handle, int width, int height);
    void sendChangedValues();

    LV2EffectAudioUnit& unit_;
    std::shared_ptr<LV2World> world_;
    SuilHost* host_ = nullptr;
    SuilInstance* instance_ = nullptr;
    const LV2UI_Idle_Interface* idleInterface_ = nullptr;
    int width_ = 0;
    int height_ = 0;
    std::vector<float> sent_;  // per port: the value the UI last got (NaN: never)

    float updateRate_ = 30.0f;
    LV2UI_Resize resize_{};
    std::vector<LV2_Options_Option> options_;
    LV2_Feature parentFeature_{};
    LV2_Feature resizeFeature_{};
    LV2_Feature idleFeature_{};
    LV2_Feature optionsFeature_{};
};

}  // namespace velunto
