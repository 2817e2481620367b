#pragma once

#include "platform/avaudio/AVAudioUnit.h"

namespace velunto {

// An effect: a unit whose processing can be bypassed.
class AVAudioUnitEffect : public AVAudioUnit {
public:
    bool bypass() const;
    void setBypass(bool bypass);

protected:
    using AVAudioUnit::AVAudioUnit;
    friend class AVAudioUnit;
};

}  // namespace velunto
