#include "platform/carbon/HotKeyCenter.h"

#include <algorithm>
#include <utility>

#include "platform/carbon/X11HotKeyBackend.h"
#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

HotKeyCenter::HotKeyCenter() : logger_("app.velunto.carbon", "HotKeys") {}

HotKeyCenter& HotKeyCenter::shared() {
    static auto* center = new HotKeyCenter();
    return *center;
}

OSStatus HotKeyCenter::installHandler(EventHandlerUPP handler, ItemCount numTypes, const EventTypeSpec* list,
                                      void* userData, EventHandlerRef* outRef) {
    if (handler == nullptr || (numTypes > 0 && list == nullptr))
        return paramErr;
    auto entry = std::make_shared<OpaqueEventHandlerRef>();
    entry->handler = handler;
    entry->types.assign(list, list + numTypes);
    entry->userData = userData;
    std::lock_guard lock(mutex_);
    handlers_.push_back(entry);
    if (outRef != nullptr)
        *outRef = entry.get();
    return noErr;
}

OSStatus HotKeyCenter::removeHandler(EventHandlerRef handler) {
    std::shared_ptr<OpaqueEventHandlerRef> removed;  // released after the lock
    std::lock_guard lock(mutex_);
    const auto it = std::find_if(handlers_.begin(), handlers_.end(), [&](const auto& h) { return h.get() == handler; });
    if (handler == nullptr || it == handlers_.end())
        return paramErr;
    (*it)->installed = false;
    removed = std::move(*it);
    handlers_.erase(it);
    return noErr;
}

OSStatus HotKeyCenter::registerHotKey(UInt32 keyCode, UInt32 modifiers, EventHotKeyID hotKeyID,
                                      EventHotKeyRef* outRef) {
    if (outRef == nullptr)
        return paramErr;
    modifiers &= kModifierMask;
    std::shared_ptr<HotKeyBackend> unused;  // a backend opened in vain closes after the lock
    std::lock_guard lock(mutex_);
    for (const auto& [ref, hotKey] : hotKeys_) {
        if (hotKey->keyCode == keyCode && hotKey->modifiers == modifiers)
            return eventHotKeyExistsErr;
    }
    std::shared_ptr<HotKeyBackend> backend = override_;
    if (!backend) {
        if (!real_) {
            real_ = X11HotKeyBackend::open();
            if (!real_) {
                if (!reportedNoServer_)
                    logger_.info("Globale Tastenkürzel brauchen einen X-Server; $DISPLAY nennt keinen erreichbaren.");
                reportedNoServer_ = true;
                return eventInternalErr;
            }
            reportedNoServer_ = false;
        }
        backend = real_;
    }
    if (const OSStatus status = backend->grab(keyCode, modifiers); status != noErr) {
        const bool realInUse = std::any_of(hotKeys_.begin(), hotKeys_.end(),
                                           [&](const auto& entry) { return entry.second->backend == real_; });
        if (backend == real_ && !realInUse)
            unused = std::move(real_);
        return status;
    }
    auto hotKey = std::make_unique<OpaqueEventHotKeyRef>();
    hotKey->keyCode = keyCode;
    hotKey->modifiers = modifiers;
    hotKey->hotKeyID = hotKeyID;
    hotKey->serial = nextSerial_++;
    hotKey->backend = std::move(backend);
    *outRef = hotKey.get();
    hotKeys_.emplace(hotKey.get(), std::move(hotKey));
    return noErr;
}

OSStatus HotKeyCenter::unregisterHotKey(EventHotKeyRef hotKey) {
    std::unique_ptr<OpaqueEventHotKeyRef> removed;  // both released after the lock: closing X joins a thread
    std::shared_ptr<HotKeyBackend> closing;
    std::lock_guard lock(mutex_);
    const auto it = hotKeys_.find(hotKey);
    if (it == hotKeys_.end())
        return eventHotKeyInvalidErr;
    removed = std::move(it->second);
    hotKeys_.erase(it);
    removed->backend->ungrab(removed->keyCode, removed->modifiers);
    const bool realInUse = std::any_of(hotKeys_.begin(), hotKeys_.end(),
                                       [&](const auto& entry) { return entry.second->backend == real_; });
    if (!realInUse)
        closing = std::move(real_);
    return noErr;
}

bool HotKeyCenter::deliverPress(const HotKeyBackend& from, UInt32 keyCode, UInt32 modifiers) {
    modifiers &= kModifierMask;
    std::lock_guard lock(mutex_);
    for (const auto& [ref, hotKey] : hotKeys_) {
        if (hotKey->backend.get() == &from && hotKey->keyCode == keyCode && hotKey->modifiers == modifiers) {
            DispatchQueue::main().async(
                [serial = hotKey->serial, id = hotKey->hotKeyID] { HotKeyCenter::shared().dispatch(serial, id); });
            return true;
        }
    }
    return false;
}

void HotKeyCenter::dispatch(std::uint64_t serial, EventHotKeyID hotKeyID) {
    std::vector<std::shared_ptr<OpaqueEventHandlerRef>> handlers;
    {
        std::lock_guard lock(mutex_);
        const bool registered = std::any_of(hotKeys_.begin(), hotKeys_.end(),
                                            [&](const auto& entry) { return entry.second->serial == serial; });
        if (!registered)
            return;
        handlers = handlers_;
    }
    std::reverse(handlers.begin(), handlers.end());
    OpaqueEventRef event{kEventClassKeyboard, kEventHotKeyPressed, hotKeyID};
    for (const auto& handler : handlers) {
        const bool wanted = std::any_of(handler->types.begin(), handler->types.end(), [](const EventTypeSpec& type) {
            return type.eventClass == kEventClassKeyboard && type.eventKind == kEventHotKeyPressed;
        });
        if (!wanted)
            continue;
        {
            std::lock_guard lock(mutex_);
            if (!handler->installed)
                continue;
        }
        if (handler->handler(nullptr, &event, handler->userData) != eventNotHandledErr)
            return;
    }
}

std::vector<HotKeyCenter::Registration> HotKeyCenter::registrations(const HotKeyBackend& of) const {
    std::vector<const OpaqueEventHotKeyRef*> held;
    std::lock_guard lock(mutex_);
    for (const auto& [ref, hotKey] : hotKeys_) {
        if (hotKey->backend.get() == &of)
            held.push_back(hotKey.get());
    }
    std::sort(held.begin(), held.end(), [](const auto* a, const auto* b) { return a->serial < b->serial; });
    std::vector<Registration> result;
    for (const auto* hotKey : held)
        result.push_back({hotKey->keyCode, hotKey->modifiers, hotKey->hotKeyID});
    return result;
}

void HotKeyCenter::setOverride(std::shared_ptr<HotKeyBackend> backend) {
    std::lock_guard lock(mutex_);
    override_ = std::move(backend);
}

std::shared_ptr<HotKeyBackend> HotKeyCenter::currentOverride() const {
    std::lock_guard lock(mutex_);
    return override_;
}

}  // namespace velunto
