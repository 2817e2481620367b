#pragma once

#include "platform/corefoundation/MacTypes.h"

namespace velunto {

// Where hot keys are grabbed. A backend reports presses with HotKeyCenter::shared().deliverPress(*this, ...),
// never while holding a lock of its own that grab() or ungrab() take.
class HotKeyBackend {
public:
    virtual ~HotKeyBackend() = default;
    // noErr, eventHotKeyExistsErr (held by another program), paramErr (no such key) or eventInternalErr.
    virtual OSStatus grab(UInt32 keyCode, UInt32 modifiers) = 0;
    virtual void ungrab(UInt32 keyCode, UInt32 modifiers) = 0;
};

}  // namespace velunto
