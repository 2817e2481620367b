#include <gtest/gtest.h>

#include <chrono>

#include "app/devices/DeviceManager.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

SimulatedDeviceDescription mic(std::string name, std::string uid, UInt32 inputs = 1) {
    SimulatedDeviceDescription d;
    d.name = std::move(name);
    d.uid = std::move(uid);
    d.inputChannels = inputs;
    return d;
}

std::vector<std::string> names(const std::vector<AudioDeviceInfo>& devices) {
    std::vector<std::string> out;
    for (const auto& d : devices)
        out.push_back(d.name);
    return out;
}

class DeviceManagerTest : public ::testing::Test {
protected:
    DeviceManagerTest() {
        hardware.plug(mic("Mic 10", "m10"));
        hardware.plug(mic("Mic 2", "m2"));
        auto speakers = mic("Lautsprecher", "spk", 0);
        speakers.outputChannels = 2;
        hardware.plug(speakers);
        auto hidden = mic("Versteckt", "hidden");
        hidden.hidden = true;
        hardware.plug(hidden);
        hardware.plug(mic("Velunto Mic", "app.velunto.mic"));
        hardware.plug(mic("BlackHole 2ch", "bh2"));
        hardware.plug(mic("Privat", "CADefaultDeviceAggregate-1"));
        auto withMic = mic("Aggregat mit Velunto", "agg.mic");
        withMic.transportType = kAudioDeviceTransportTypeAggregate;
        withMic.subDeviceUIDs = {"m2", "app.velunto.mic"};
        hardware.plug(withMic);
        auto withLoop = mic("Aggregat mit Loop", "agg.bh");
        withLoop.transportType = kAudioDeviceTransportTypeAggregate;
        withLoop.subDeviceUIDs = {"bh2"};
        hardware.plug(withLoop);
        auto plain = mic("Aggregat", "agg");
        plain.transportType = kAudioDeviceTransportTypeAggregate;
        plain.subDeviceUIDs = {"m2", "m10"};
        hardware.plug(plain);
    }

    std::shared_ptr<DeviceManager> makeManager() { return DeviceManager::make(store); }
    std::size_t logged(const std::string& message) const { return logs.count("DeviceManager", message); }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    SettingsStore store{UserDefaults::inMemory()};
};

TEST_F(DeviceManagerTest, CatalogueFiltersAndSortsAndTheDefaultResolves) {
    auto manager = makeManager();
    EXPECT_EQ(names(manager->availableInputDevices.value()), (std::vector<std::string>{"Aggregat", "Mic 2", "Mic 10"}));
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m10") << "the first input device plugged is the default";
    EXPECT_EQ(manager->resolvedSampleRate.value(), 48000.0);
    EXPECT_FALSE(manager->isUsingFallback.value());
    EXPECT_EQ(manager->listenedDeviceID(), hardware.deviceID("m10"));
    EXPECT_EQ(logged("Aktiver Eingang: Mic 10 (m10, ID " + std::to_string(*hardware.deviceID("m10")) + ")"), 1u);
}

TEST_F(DeviceManagerTest, AVirtualMicDefaultResolvesToNothing) {
    ASSERT_TRUE(hardware.setDefaultInput("app.velunto.mic"));
    auto manager = makeManager();
    EXPECT_EQ(manager->resolvedDeviceUID.value(), std::nullopt);
    EXPECT_EQ(logs.entries("DeviceManager").size(), 0u) << "none before, none now: nothing to log";
    ASSERT_TRUE(hardware.setDefaultInput("m2"));
    time.runUntilIdle();
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m2");
    ASSERT_TRUE(hardware.setDefaultInput("app.velunto.mic"));
    time.runUntilIdle();
    EXPECT_EQ(logged("Aktiver Eingang: keiner (-, ID 0)"), 1u);
}

TEST_F(DeviceManagerTest, FixedModeFallsBackAndReturnsWithItsDevice) {
    auto manager = makeManager();
    manager->setMode(InputMode::fixed("usb.later"));
    EXPECT_TRUE(manager->isUsingFallback.value());
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m10");
    EXPECT_EQ(logged("Festes Eingangsgerät usb.later nicht gefunden, Fallback auf Systemstandard."), 1u);
    EXPECT_EQ(store.loadInputMode(), InputMode::fixed("usb.later"));

    // While falling back, a new default input is followed.
    ASSERT_TRUE(hardware.setDefaultInput("m2"));
    time.runUntilIdle();
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m2");

    hardware.plug(mic("USB", "usb.later"));
    time.runUntilIdle();
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "usb.later");
    EXPECT_FALSE(manager->isUsingFallback.value());
    EXPECT_EQ(
        logged("Geräteliste geändert: Aggregat [" + std::to_string(*hardware.deviceID("agg")) + "], Mic 2 [" +
               std::to_string(*hardware.deviceID("m2")) + "], Mic 10 [" + std::to_string(*hardware.deviceID("m10")) +
               "], USB [" + std::to_string(*hardware.deviceID("usb.later")) + "]"),
        1u);

    // With the fixed device present, a default change does nothing; unplugged, it falls back again.
    ASSERT_TRUE(hardware.setDefaultInput("m10"));
    time.runUntilIdle();
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "usb.later");
    ASSERT_TRUE(hardware.unplug("usb.later"));
    time.runUntilIdle();
    EXPECT_TRUE(manager->isUsingFallback.value());
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m10");

    // The same mode again neither saves nor resolves.
    logs.clear();
    manager->setMode(InputMode::fixed("usb.later"));
    EXPECT_TRUE(logs.entries().empty());
}

TEST_F(DeviceManagerTest, PriorityListDecidesByItsOrder) {
    auto manager = makeManager();
    manager->setPriorityList({{"gone", "Weg"}, {"m2", "Mic 2"}, {"m10", "Mic 10"}});
    manager->setMode(InputMode::priority());
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m2");
    EXPECT_FALSE(manager->isUsingFallback.value());

    manager->addToPriority({0, "m2", "Anderer Name"});
    EXPECT_EQ(manager->priorityList.value().size(), 3u) << "a UID already listed is not added";
    manager->removeFromPriority("m2");
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m10");
    EXPECT_EQ(store.loadDevicePriority(), manager->priorityList.value());

    manager->setPriorityList({});
    EXPECT_TRUE(manager->isUsingFallback.value());
    EXPECT_EQ(logged("Kein Gerät der Prioritätenliste angeschlossen, Fallback auf Systemstandard."), 1u);
}

TEST_F(DeviceManagerTest, DeathOfTheInputReresolvesAndSameDeviceRefreshesQuietly) {
    auto manager = makeManager();
    const auto id = *hardware.deviceID("m10");
    // Re-resolving to the same device logs nothing but refreshes rate and listeners.
    logs.clear();
    manager->resolve();
    EXPECT_TRUE(logs.entries().empty());
    EXPECT_EQ(manager->listenedDeviceID(), id);

    // A rate change of a live device changes nothing here.
    SimulatedDeviceDescription switchable = mic("Umschaltbar", "sw");
    switchable.availableSampleRates = {48000, 44100};
    hardware.plug(switchable);
    time.runUntilIdle();
    manager->setMode(InputMode::fixed("sw"));
    ASSERT_TRUE(hardware.setNominalSampleRate("sw", 44100));
    time.runUntilIdle();
    EXPECT_EQ(manager->resolvedSampleRate.value(), 48000.0);
    manager->resolve();
    EXPECT_EQ(manager->resolvedSampleRate.value(), 44100.0);

    ASSERT_TRUE(hardware.kill("sw"));
    time.runUntilIdle();
    EXPECT_EQ(logged("Eingangsgerät " + std::to_string(*hardware.deviceID("sw")) + " nicht mehr verfügbar."), 1u);
    // Still listed while the system keeps it; once it leaves the list, the fallback takes over.
    ASSERT_TRUE(hardware.unplug("sw"));
    time.runUntilIdle();
    EXPECT_TRUE(manager->isUsingFallback.value());
    EXPECT_EQ(manager->resolvedDeviceUID.value(), "m10");
}

TEST_F(DeviceManagerTest, NotificationsAfterDestructionDoNothing) {
    auto manager = makeManager();
    hardware.plug(mic("Neu", "new"));
    manager.reset();
    time.runUntilIdle();
    EXPECT_EQ(logs.count("DeviceManager", "Geräteliste geändert: "), 0u);
}

}  // namespace
