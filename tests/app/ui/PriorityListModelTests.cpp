#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "app/audio/AppState.h"
#include "app/settings/SettingsKey.h"
#include "app/ui/PriorityListModel.h"
#include "platform/dispatch/VirtualTime.h"
#include "platform/oslog/LogCapture.h"
#include "platform/sim/SimulatedAudioHardware.h"

using namespace velunto;
using namespace std::chrono_literals;

namespace {

SimulatedDeviceDescription microphone(std::string name, std::string uid) {
    SimulatedDeviceDescription d;
    d.name = std::move(name);
    d.uid = std::move(uid);
    d.inputChannels = 1;
    d.signal = SimulatedSignal::sineWave(440, 0.3);
    return d;
}

// The UIDs of devices, entries or rows, in order.
template <class Item>
std::vector<std::string> uids(const std::vector<Item>& items) {
    std::vector<std::string> out;
    for (const auto& item : items)
        out.push_back(item.uid);
    return out;
}

// The uids of the rows that carry the "aktiv" badge.
std::vector<std::string> activeRows(const PriorityListModel& model) {
    std::vector<std::string> out;
    for (const auto& row : model.rows())
        if (row.badge)
            out.push_back(row.uid);
    return out;
}

class PriorityListModelTest : public ::testing::Test {
protected:
    // Built-in mic (the system default), a USB and a headset microphone.
    void plugThree() {
        hardware.plug(microphone("Eingebautes Mikrofon", "builtin.mic"));
        hardware.plug(microphone("USB-Mikrofon", "usb.mic"));
        hardware.plug(microphone("Headset", "headset.mic"));
    }
    void storeList(const std::vector<DevicePriorityEntry>& list) { store.saveDevicePriority(list); }
    void launch() {
        state = AppState::make(defaults);
        time.advance(500ms);
        model = std::make_unique<PriorityListModel>(state->deviceManager());
        model->onChange = [this] { ++changes; };
    }
    DeviceManager& devices() { return state->deviceManager(); }

    VirtualTime time;
    LogCapture logs;
    SimulatedAudioHardware hardware;
    std::shared_ptr<UserDefaults> defaults = UserDefaults::inMemory();
    SettingsStore store{defaults};
    std::shared_ptr<AppState> state;
    std::unique_ptr<PriorityListModel> model;
    int changes = 0;
};

TEST_F(PriorityListModelTest, RowsShowPositionConnectionAndTheStoredName) {
    plugThree();
    storeList({{"usb.mic", "Mein altes USB-Mikro"}, {"gone.mic", "Verliehenes Mikrofon"}, {"builtin.mic", "Intern"}});
    launch();

    EXPECT_EQ(
        std::string(model->kExplanation),
        "Im Modus „Nach Priorität“ nutzt Velunto das oberste angeschlossene Gerät. Reihenfolge per Ziehen ändern.");
    const auto rows = model->rows();
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].positionText, "1.");
    EXPECT_EQ(rows[1].positionText, "2.");
    EXPECT_EQ(rows[2].positionText, "3.");
    EXPECT_EQ(rows[0].name, "Mein altes USB-Mikro") << "the stored name, not the device's current one";
    EXPECT_TRUE(rows[0].isConnected);
    EXPECT_EQ(rows[0].statusHelpText, "Angeschlossen");
    EXPECT_EQ(rows[1].name, "Verliehenes Mikrofon");
    EXPECT_FALSE(rows[1].isConnected);
    EXPECT_EQ(rows[1].statusHelpText, "Nicht angeschlossen");
    EXPECT_TRUE(rows[2].isConnected);
    EXPECT_EQ(model->emptyText(), std::nullopt);
    EXPECT_EQ(std::string(PriorityListModel::kRemoveHelp), "Aus der Liste entfernen");
    EXPECT_EQ(std::string(PriorityListModel::kRemoveSymbol), "minus.circle");

    // System default mode: the built-in mic is in use, but nothing is marked, and activation is offered.
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "builtin.mic");
    EXPECT_TRUE(activeRows(*model).empty());
    EXPECT_TRUE(model->showsActivateButton());
    EXPECT_TRUE(model->canActivate());
    EXPECT_EQ(uids(model->addCandidates()), (std::vector<std::string>{"headset.mic"}));
}

TEST_F(PriorityListModelTest, AnEmptyListShowsItsTextAndCannotBeActivated) {
    plugThree();
    launch();
    EXPECT_TRUE(model->rows().empty());
    EXPECT_EQ(model->emptyText(), "Noch keine Geräte in der Liste.");
    EXPECT_TRUE(model->showsActivateButton());
    EXPECT_FALSE(model->canActivate());

    model->activatePriorityMode();  // a disabled button: nothing changes, nothing is stored
    time.runUntilIdle();
    EXPECT_EQ(devices().mode(), InputMode::systemDefault());
    EXPECT_FALSE(defaults->object(rawValue(SettingsKey::inputMode)).has_value());

    // Fixed mode shows the button too.
    devices().setMode(InputMode::fixed("usb.mic"));
    EXPECT_TRUE(model->showsActivateButton());
    EXPECT_FALSE(model->canActivate());
}

TEST_F(PriorityListModelTest, AddingOffersTheUnlistedDevicesInCatalogueOrderUntilAllAreListed) {
    hardware.plug(microphone("Mic 10", "mic10"));
    hardware.plug(microphone("Mic 2", "mic2"));
    hardware.plug(microphone("atem", "atem"));
    storeList({{"gone.mic", "Weg"}});
    launch();
    EXPECT_EQ(std::string(PriorityListModel::kAddDeviceTitle), "Gerät hinzufügen");
    EXPECT_EQ(uids(model->addCandidates()), (std::vector<std::string>{"atem", "mic2", "mic10"}));
    EXPECT_EQ(model->addCandidates()[1].name, "Mic 2");
    EXPECT_TRUE(model->canAddDevice());

    model->addDevice("mic10");
    EXPECT_EQ(uids(devices().priorityList.value()), (std::vector<std::string>{"gone.mic", "mic10"}))
        << "appended at the end";
    EXPECT_EQ(store.loadDevicePriority(), (std::vector<DevicePriorityEntry>{{"gone.mic", "Weg"}, {"mic10", "Mic 10"}}));
    EXPECT_EQ(uids(model->addCandidates()), (std::vector<std::string>{"atem", "mic2"}));

    model->addDevice("gone.mic");  // listed already, and not connected: no candidate
    model->addDevice("unknown");
    EXPECT_EQ(devices().priorityList.value().size(), 2u);

    model->addDevice("atem");
    model->addDevice("mic2");
    EXPECT_TRUE(model->addCandidates().empty());
    EXPECT_FALSE(model->canAddDevice()) << "every available device is listed";

    time.runUntilIdle();
    EXPECT_GT(changes, 0) << "the view hears about the list's changes";
}

TEST_F(PriorityListModelTest, WithoutAnyDeviceNothingCanBeAdded) {
    storeList({{"usb.mic", "USB-Mikrofon"}});
    launch();
    EXPECT_TRUE(model->addCandidates().empty());
    EXPECT_FALSE(model->canAddDevice());
    ASSERT_EQ(model->rows().size(), 1u);
    EXPECT_FALSE(model->rows()[0].isConnected);
}

TEST_F(PriorityListModelTest, AnUnpluggedEntryKeepsItsPlaceAndTurnsConnectedWhenPluggedIn) {
    plugThree();
    storeList({{"usb.mic", "USB-Mikrofon"}, {"headset.mic", "Headset"}});
    launch();
    devices().setMode(InputMode::priority());
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"usb.mic"}));

    ASSERT_TRUE(hardware.unplug("usb.mic"));
    changes = 0;
    time.advance(500ms);
    EXPECT_GT(changes, 0);
    auto rows = model->rows();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].uid, "usb.mic");
    EXPECT_EQ(rows[0].positionText, "1.");
    EXPECT_EQ(rows[0].name, "USB-Mikrofon");
    EXPECT_FALSE(rows[0].isConnected);
    EXPECT_EQ(rows[0].statusHelpText, "Nicht angeschlossen");
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"headset.mic"}));

    hardware.plug(microphone("USB-Mikrofon (neu)", "usb.mic"));
    changes = 0;
    time.advance(500ms);
    EXPECT_GT(changes, 0) << "the dot turns green without any action";
    rows = model->rows();
    EXPECT_TRUE(rows[0].isConnected);
    EXPECT_EQ(rows[0].statusHelpText, "Angeschlossen");
    EXPECT_EQ(rows[0].name, "USB-Mikrofon") << "the entry keeps its name";
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"usb.mic"}));
}

TEST_F(PriorityListModelTest, InPriorityModeMovingAConnectedEntryAboveTheActiveOneMakesItActive) {
    plugThree();
    storeList({{"gone.mic", "Weg"}, {"builtin.mic", "Intern"}, {"usb.mic", "USB"}, {"headset.mic", "Headset"}});
    launch();
    devices().setMode(InputMode::priority());
    EXPECT_FALSE(model->showsActivateButton());
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"builtin.mic"}));

    model->moveRows({3}, 1);  // the headset above the built-in mic
    time.advance(500ms);
    EXPECT_EQ(uids(model->rows()), (std::vector<std::string>{"gone.mic", "headset.mic", "builtin.mic", "usb.mic"}));
    EXPECT_EQ(uids(store.loadDevicePriority()), uids(model->rows()));
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "headset.mic");
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"headset.mic"}));
    EXPECT_EQ(model->rows()[1].badge, "aktiv");
    EXPECT_EQ(state->captureEngine().pendingDeviceUID(), "headset.mic") << "the input in use follows";

    model->moveRows({1}, 3);  // below the built-in mic again: it is back in use
    time.advance(500ms);
    EXPECT_EQ(uids(model->rows()), (std::vector<std::string>{"gone.mic", "builtin.mic", "headset.mic", "usb.mic"}));
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"builtin.mic"}));
}

TEST_F(PriorityListModelTest, InOtherModesReorderingChangesNothingAboutTheInputInUse) {
    plugThree();
    storeList({{"builtin.mic", "Intern"}, {"usb.mic", "USB"}});
    launch();
    devices().setMode(InputMode::fixed("builtin.mic"));
    model->moveRows({1}, 0);
    time.advance(500ms);
    EXPECT_EQ(uids(store.loadDevicePriority()), (std::vector<std::string>{"usb.mic", "builtin.mic"}));
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "builtin.mic");
    EXPECT_TRUE(activeRows(*model).empty()) << "no badge outside priority mode";
    EXPECT_TRUE(model->showsActivateButton());

    changes = 0;
    model->activatePriorityMode();
    time.advance(500ms);
    EXPECT_GT(changes, 0);
    EXPECT_EQ(devices().mode(), InputMode::priority());
    EXPECT_EQ(store.loadInputMode(), InputMode::priority());
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "usb.mic") << "the top connected entry";
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"usb.mic"}));
    EXPECT_FALSE(model->showsActivateButton());

    model->moveRows({1}, 0);  // the built-in mic, also the system default, on top
    time.advance(500ms);
    EXPECT_EQ(activeRows(*model), (std::vector<std::string>{"builtin.mic"}));

    // A change of mode from elsewhere (the menu panel) that keeps the same device in use.
    bool buttonShownAtLastChange = false;
    model->onChange = [&] { buttonShownAtLastChange = model->showsActivateButton(); };
    devices().setMode(InputMode::systemDefault());
    time.runUntilIdle();
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "builtin.mic");
    EXPECT_TRUE(buttonShownAtLastChange) << "the view hears about the mode";
    EXPECT_TRUE(activeRows(*model).empty());
}

TEST_F(PriorityListModelTest, RowsMoveAsABlockLikeAStandardListMove) {
    const std::vector<DevicePriorityEntry> list{{"a", "A"}, {"b", "B"}, {"c", "C"}, {"d", "D"}, {"e", "E"}};
    using V = std::vector<std::string>;
    const auto move = [&](const std::set<std::size_t>& offsets, std::size_t to) {
        return uids(PriorityListModel::movedEntries(list, offsets, to));
    };
    EXPECT_EQ(move({0, 2}, 4), (V{"b", "d", "a", "c", "e"})) << "before the row that was at 4";
    EXPECT_EQ(move({1, 4}, 0), (V{"b", "e", "a", "c", "d"}));
    EXPECT_EQ(move({0}, 5), (V{"b", "c", "d", "e", "a"})) << "the row count is the end";
    EXPECT_EQ(move({3}, 1), (V{"a", "d", "b", "c", "e"}));
    EXPECT_EQ(move({2}, 2), (V{"a", "b", "c", "d", "e"})) << "dropped on itself";
    EXPECT_EQ(move({2}, 3), (V{"a", "b", "c", "d", "e"})) << "dropped just below itself";
    EXPECT_EQ(move({1, 2, 3}, 2), (V{"a", "b", "c", "d", "e"})) << "dropped inside the block";
    EXPECT_EQ(move({0, 7}, 99), (V{"b", "c", "d", "e", "a"})) << "offsets and destination beyond the list";
}

TEST_F(PriorityListModelTest, RemovingTheLastEntryInPriorityModeFallsBackToTheSystemDefault) {
    plugThree();
    storeList({{"usb.mic", "USB"}});
    launch();
    model->activatePriorityMode();
    time.advance(500ms);
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "usb.mic");
    EXPECT_FALSE(devices().isUsingFallback.value());

    model->removeRow(5);  // no such row
    EXPECT_EQ(devices().priorityList.value().size(), 1u);
    EXPECT_EQ(model->rows()[0].uid, "usb.mic");

    model->removeRow(0);
    time.advance(500ms);
    EXPECT_TRUE(model->rows().empty());
    EXPECT_EQ(model->emptyText(), "Noch keine Geräte in der Liste.");
    EXPECT_TRUE(store.loadDevicePriority().empty());
    EXPECT_TRUE(devices().isUsingFallback.value());
    EXPECT_EQ(devices().resolvedDeviceUID.value(), "builtin.mic");
    EXPECT_FALSE(model->showsActivateButton()) << "still in priority mode";
    EXPECT_EQ(uids(model->addCandidates()), (std::vector<std::string>{"builtin.mic", "headset.mic", "usb.mic"}));
}

TEST_F(PriorityListModelTest, LongRightToLeftNamesAndFiftyDevicesStayIntact) {
    const std::string longName = "Mikrofon " + std::string(191, 'x');
    const std::string rtlName = "מיקרופון חיצוני";
    hardware.plug(microphone(longName, "long.mic"));
    hardware.plug(microphone(rtlName, "rtl.mic"));
    for (int i = 1; i <= 48; ++i)
        hardware.plug(microphone("Gerät " + std::to_string(i), "dev." + std::to_string(i)));
    launch();
    ASSERT_EQ(longName.size(), 200u);
    ASSERT_EQ(model->addCandidates().size(), 50u);
    EXPECT_EQ(model->addCandidates()[0].name, "Gerät 1");
    EXPECT_EQ(model->addCandidates()[47].name, "Gerät 48") << "digit runs compare by value";

    for (const auto& device : model->addCandidates())
        model->addDevice(device.uid);
    EXPECT_FALSE(model->canAddDevice());
    const auto rows = model->rows();
    ASSERT_EQ(rows.size(), 50u);
    EXPECT_EQ(rows[9].positionText, "10.");
    EXPECT_EQ(rows[49].positionText, "50.");
    EXPECT_EQ(rows[48].name, longName);
    EXPECT_EQ(rows[49].name, rtlName);

    model->moveRows({48, 49}, 0);
    const auto moved = model->rows();
    EXPECT_EQ(moved[0].name, longName);
    EXPECT_EQ(moved[1].name, rtlName);
    EXPECT_EQ(moved[2].name, "Gerät 1");
    EXPECT_EQ(store.loadDevicePriority()[1], (DevicePriorityEntry{"rtl.mic", rtlName}));
}

}  // namespace
