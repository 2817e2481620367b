#include "platform/lv2/LV2World.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/parameters/parameters.h>
#include <lv2/port-props/port-props.h>
#include <lv2/resize-port/resize-port.h>
#include <lv2/state/state.h>
#include <lv2/ui/ui.h>
#include <lv2/units/units.h>

#include <new>

namespace velunto {

LV2World::LV2World() : world_(lilv_world_new()) {
    if (world_ == nullptr) {
        throw std::bad_alloc();
    }
    lilv_world_load_all(world_);
    const auto uri = [this](const char* text) { return lilv_new_uri(world_, text); };
    nodes_.audioPort = uri(LV2_CORE__AudioPort);
    nodes_.controlPort = uri(LV2_CORE__ControlPort);
    nodes_.cvPort = uri(LV2_CORE__CVPort);
    nodes_.atomPort = uri(LV2_ATOM__AtomPort);
    nodes_.inputPort = uri(LV2_CORE__InputPort);
    nodes_.outputPort = uri(LV2_CORE__OutputPort);
    nodes_.connectionOptional = uri(LV2_CORE__connectionOptional);
    nodes_.toggled = uri(LV2_CORE__toggled);
    nodes_.integer = uri(LV2_CORE__integer);
    nodes_.enumeration = uri(LV2_CORE__enumeration);
    nodes_.sampleRate = uri(LV2_CORE__sampleRate);
    nodes_.reportsLatency = uri(LV2_CORE__reportsLatency);
    nodes_.latency = uri(LV2_CORE__latency);
    nodes_.enabled = uri(LV2_CORE_PREFIX "enabled");
    nodes_.freeWheeling = uri(LV2_CORE__freeWheeling);
    nodes_.parameterSampleRate = uri(LV2_PARAMETERS__sampleRate);
    nodes_.unitsUnit = uri(LV2_UNITS__unit);
    nodes_.unitsSymbol = uri(LV2_UNITS__symbol);
    nodes_.minimumSize = uri(LV2_RESIZE_PORT__minimumSize);
    nodes_.instrumentPlugin = uri(LV2_CORE__InstrumentPlugin);
    nodes_.rdfType = uri("http://www.w3.org/1999/02/22-rdf-syntax-ns#type");
    nodes_.stateInterface = uri(LV2_STATE__interface);
    nodes_.x11UI = uri(LV2_UI__X11UI);
    nodes_.requiredFeature = uri(LV2_CORE__requiredFeature);
    nodes_.minorVersion = uri(LV2_CORE__minorVersion);
    nodes_.microVersion = uri(LV2_CORE__microVersion);
}

LV2World::~LV2World() {
    for (LilvNode* node : {nodes_.audioPort,
                           nodes_.controlPort,
                           nodes_.cvPort,
                           nodes_.atomPort,
                           nodes_.inputPort,
                           nodes_.outputPort,
                           nodes_.connectionOptional,
                           nodes_.toggled,
                           nodes_.integer,
                           nodes_.enumeration,
                           nodes_.sampleRate,
                           nodes_.reportsLatency,
                           nodes_.latency,
                           nodes_.enabled,
                           nodes_.freeWheeling,
                           nodes_.parameterSampleRate,
                           nodes_.unitsUnit,
                           nodes_.unitsSymbol,
                           nodes_.minimumSize,
                           nodes_.instrumentPlugin,
                           nodes_.stateInterface,
                           nodes_.x11UI,
                           nodes_.requiredFeature,
                           nodes_.minorVersion,
                           nodes_.microVersion}) {
        lilv_node_free(node);
    }
    lilv_world_free(world_);
}

const LilvPlugin* LV2World::plugin(const char* uri) const {
    LilvNode* node = lilv_new_uri(world_, uri);
    const LilvPlugin* found =
        node == nullptr ? nullptr : lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), node);
    lilv_node_free(node);
    return found;
}

}  // namespace velunto
