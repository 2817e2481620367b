#pragma once

#include <lilv/lilv.h>

#include <mutex>

#include "platform/lv2/LV2URIDMap.h"

namespace velunto {

// The URIs a host asks lilv about, made once per world.
struct LV2Nodes {
    LilvNode* audioPort = nullptr;
    LilvNode* controlPort = nullptr;
    LilvNode* cvPort = nullptr;
    LilvNode* atomPort = nullptr;
    LilvNode* inputPort = nullptr;
    LilvNode* outputPort = nullptr;
    LilvNode* connectionOptional = nullptr;
    LilvNode* toggled = nullptr;
    LilvNode* integer = nullptr;
    LilvNode* enumeration = nullptr;
    LilvNode* sampleRate = nullptr;
    LilvNode* reportsLatency = nullptr;
    LilvNode* latency = nullptr;
    LilvNode* enabled = nullptr;
    LilvNode* freeWheeling = nullptr;
    LilvNode* parameterSampleRate = nullptr;
    LilvNode* unitsUnit = nullptr;
    LilvNode* unitsSymbol = nullptr;
    LilvNode* minimumSize = nullptr;
    LilvNode* instrumentPlugin = nullptr;
    LilvNode* rdfType = nullptr;
    LilvNode* stateInterface = nullptr;
    LilvNode* x11UI = nullptr;
    LilvNode* requiredFeature = nullptr;
    LilvNode* minorVersion = nullptr;
    LilvNode* microVersion = nullptr;
};

// A lilv world over every bundle on the LV2 search path (LV2_PATH, else lilv's default), loaded when
// made, with the URID map all its plug-ins share. lilv worlds are not thread-safe: every lilv call that
// reads the world's data (plug-in, port and UI queries, instantiation, state) holds mutex(). Running an
// instance does not touch the world.
class LV2World {
public:
    LV2World();
    ~LV2World();
    LV2World(const LV2World&) = delete;
    LV2World& operator=(const LV2World&) = delete;

    LilvWorld* world() const { return world_; }
    std::mutex& mutex() const { return mutex_; }
    LV2URIDMap& urids() { return urids_; }
    const LV2Nodes& nodes() const { return nodes_; }

    // The plug-in with this URI, or null. Call with mutex() held.
    const LilvPlugin* plugin(const char* uri) const;

private:
    mutable std::mutex mutex_;
    LilvWorld* world_;
    LV2URIDMap urids_;
    LV2Nodes nodes_;
};

}  // namespace velunto
