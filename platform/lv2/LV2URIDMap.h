#pragma once

#include <lv2/core/lv2.h>
#include <lv2/urid/urid.h>

#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velunto {

// The urid:map and urid:unmap features a host gives its plug-ins: one number per URI for the life of
// the map, from 1 up. Thread-safe (a plug-in may map from any thread; mapping takes a lock, so
// plug-ins map at instantiation, as LV2 asks of them).
class LV2URIDMap {
public:
    LV2URIDMap();
    LV2URIDMap(const LV2URIDMap&) = delete;
    LV2URIDMap& operator=(const LV2URIDMap&) = delete;

    LV2_URID map(std::string_view uri);
    // Null for an id never handed out.
    const char* unmap(LV2_URID id) const;

    LV2_URID_Map* mapFeatureData() { return &map_; }
    LV2_URID_Unmap* unmapFeatureData() { return &unmap_; }
    const LV2_Feature* mapFeature() const { return &mapFeature_; }
    const LV2_Feature* unmapFeature() const { return &unmapFeature_; }

private:
    static LV2_URID mapCallback(LV2_URID_Map_Handle handle, const char* uri);
    static const char* unmapCallback(LV2_URID_Unmap_Handle handle, LV2_URID id);

    mutable std::mutex mutex_;
    std::deque<std::string> uris_;  // id - 1 → URI; a deque keeps the strings where they are
    std::unordered_map<std::string_view, LV2_URID> ids_;
    LV2_URID_Map map_;
    LV2_URID_Unmap unmap_;
    LV2_Feature mapFeature_;
    LV2_Feature unmapFeature_;
};

}  // namespace velunto
