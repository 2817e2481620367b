#pragma once

#include <gtest/gtest.h>

#include <QLocale>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "app/audio/AppState.h"
#include "app/settings/SettingsStore.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/sim/SimulatedAudioHardware.h"
#include "tests/support/SimulatedDevices.h"

namespace velunto {

// The application state on simulated hardware in virtual time, with an English locale.
class EQModelFixture : public ::testing::Test {
protected:
    static constexpr const char* kMicUID = "builtin.mic";
    static constexpr const char* kMicName = "Eingebautes Mikrofon";

    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English)); }
    void TearDown() override { QLocale::setDefault(savedLocale_); }

    // With the microphone (a 440 Hz sine) or with no input device at all; the feed device is always there.
    std::shared_ptr<AppState> launch(bool withMicrophone = true) {
        if (withMicrophone)
            hardware.plug(device(kMicName, kMicUID, 1, 0));
        auto feed = device("Velunto Mic (Einspeisung)", AppState::kFeedDeviceUID, 0, 2);
        feed.transportType = kAudioDeviceTransportTypeVirtual;
        feed.hidden = true;
        hardware.plug(feed);
        auto state = AppState::make(defaults);
        time.advance(std::chrono::milliseconds(500));
        return state;
    }

    static SimulatedDeviceDescription device(std::string name, std::string uid, UInt32 in, UInt32 out) {
        return simulatedDevice(std::move(name), std::move(uid), in, out);
    }

    std::map<std::string, EQSettings> stored() const { return SettingsStore(defaults).loadEQSettingsByDevice(); }

    VirtualTime time;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();

private:
    QLocale savedLocale_;
};

}  // namespace velunto
