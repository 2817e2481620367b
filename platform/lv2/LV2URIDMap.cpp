#include "platform/lv2/LV2URIDMap.h"

namespace velunto {

LV2URIDMap::LV2URIDMap()
    : map_{this, &LV2URIDMap::mapCallback},
      unmap_{this, &LV2URIDMap::unmapCallback},
      mapFeature_{LV2_URID__map, &map_},
      unmapFeature_{LV2_URID__unmap, &unmap_} {}

LV2_URID LV2URIDMap::map(std::string_view uri) {
    std::lock_guard lock(mutex_);
    if (const auto found = ids_.find(uri); found != ids_.end()) {
        return found->second;
    }
    const std::string& stored = uris_.emplace_back(uri);
    const auto id = static_cast<LV2_URID>(uris_.size());
    ids_.emplace(stored, id);
    return id;
}

const char* LV2URIDMap::unmap(LV2_URID id) const {
    std::lock_guard lock(mutex_);
    return id >= 1 && id <= uris_.size() ? uris_[id - 1].c_str() : nullptr;
}

LV2_URID LV2URIDMap::mapCallback(LV2_URID_Map_Handle handle, const char* uri) {
    return uri == nullptr ? 0 : static_cast<LV2URIDMap*>(handle)->map(uri);
}

const char* LV2URIDMap::unmapCallback(LV2_URID_Unmap_Handle handle, LV2_URID id) {
    return static_cast<const LV2URIDMap*>(handle)->unmap(id);
}

}  // namespace velunto
