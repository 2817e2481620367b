#pragma once

#include <cstddef>

#include "platform/avaudio/EQFilterBank.h"

namespace velunto {

// The filter types of the EQ unit, with the platform's values.
using AVAudioUnitEQFilterType = EQFilterType;

// One band of an EQ unit; setting a field takes effect on the unit's next cycle.
class AVAudioUnitEQFilterParameters {
public:
    AVAudioUnitEQFilterParameters(EQFilterBank& bank, std::size_t index) : bank_(&bank), index_(index) {}

    AVAudioUnitEQFilterType filterType() const { return bank_->band(index_).filterType; }
    void setFilterType(AVAudioUnitEQFilterType type) { bank_->setFilterType(index_, type); }
    float frequency() const { return bank_->band(index_).frequency; }
    void setFrequency(float hertz) { bank_->setFrequency(index_, hertz); }
    float bandwidth() const { return bank_->band(index_).bandwidth; }  // octaves
    void setBandwidth(float octaves) { bank_->setBandwidth(index_, octaves); }
    float gain() const { return bank_->band(index_).gain; }  // dB
    void setGain(float decibels) { bank_->setGain(index_, decibels); }
    bool bypass() const { return bank_->band(index_).bypass; }
    void setBypass(bool bypass) { bank_->setBypass(index_, bypass); }

private:
    EQFilterBank* bank_;
    std::size_t index_;
};

}  // namespace velunto
