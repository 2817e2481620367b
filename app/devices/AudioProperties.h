#pragma once

// Reading audio-device properties. Each helper reads one property (element main) synchronously,
// passes the status to checkStatus with a label naming the call, and answers nothing on failure.
// Never called on a real-time thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/devices/AudioDeviceInfo.h"
#include "platform/audiounit/AudioUnit.h"
#include "platform/coreaudio/AudioHardwareBase.h"

namespace velunto {

// True for status 0. Anything else is logged at error level in the "DeviceManager" category as
// "<label> failed: OSStatus <status>", whoever calls it.
bool checkStatus(OSStatus status, std::string_view label);

namespace AudioProperties {

std::optional<AudioObjectID> defaultInputDevice();
std::optional<AudioObjectID> defaultOutputDevice();
// Every device in hardware order; empty if the list cannot be read.
std::vector<AudioObjectID> allDevices();
std::optional<std::string> deviceUID(AudioObjectID device);
std::optional<std::string> deviceName(AudioObjectID device);
std::optional<AudioObjectID> deviceForUID(const std::string& uid);
std::optional<double> nominalSampleRate(AudioObjectID device);
bool isAlive(AudioObjectID device);   // false when unreadable
bool isHidden(AudioObjectID device);  // false when unreadable
std::optional<UInt32> transportType(AudioObjectID device);
// Channels over all buffers of the stream configuration in that scope; 0 when unreadable.
UInt32 channelCount(AudioObjectID device, AudioObjectPropertyScope scope);
// The UIDs of an aggregate device's sub-devices; empty for anything else.
std::vector<std::string> aggregateSubDeviceUIDs(AudioObjectID device);
// The first device in hardware order whose name contains `text` (case-insensitively) and that has a UID.
std::optional<AudioDeviceInfo> findDeviceNamed(std::string_view text);
// The device an output unit is bound to; `tag` names the caller in the label ("output", "input").
std::optional<AudioObjectID> currentDevice(AudioUnit unit, std::string_view tag);


}  // namespace AudioProperties

}  // namespace velunto
