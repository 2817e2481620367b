#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/devices/AudioDeviceInfo.h"
#include "app/devices/DeviceManager.h"
#include "app/settings/DevicePriorityEntry.h"
#include "platform/combine/AnyCancellable.h"

namespace velunto {

// One entry of the priority list as its row shows it.
struct PriorityListRow {
    std::string positionText;  // "1.", "2.", …
    std::string uid;
    std::string name;  // the name stored in the entry, not the connected device's current one
    bool isConnected = false;
    std::string statusHelpText;        // the status dot's help text
    std::optional<std::string> badge;  // "aktiv" on the entry in use, in priority mode only
};

// The priority list editor: the user's ordered list of preferred input devices, which of them are
// connected and in use, and the switch to priority mode. Every change goes through the device
// manager, which stores it and decides the input again. Main thread only.
class PriorityListModel {
public:
    static constexpr const char* kExplanation =
        "Im Modus „Nach Priorität“ nutzt Velunto das oberste angeschlossene Gerät. Reihenfolge per Ziehen ändern.";
    static constexpr const char* kEmptyText = "Noch keine Geräte in der Liste.";
    static constexpr const char* kAddDeviceTitle = "Gerät hinzufügen";
    static constexpr const char* kActivateTitle = "„Nach Priorität“ aktivieren";
    static constexpr const char* kConnectedHelp = "Angeschlossen";
    static constexpr const char* kDisconnectedHelp = "Nicht angeschlossen";
    static constexpr const char* kActiveBadge = "aktiv";
    static constexpr const char* kRemoveSymbol = "minus.circle";
    static constexpr const char* kRemoveHelp = "Aus der Liste entfernen";

    // The manager must outlive the model.
    explicit PriorityListModel(DeviceManager& deviceManager);
    PriorityListModel(const PriorityListModel&) = delete;
    PriorityListModel& operator=(const PriorityListModel&) = delete;

    // Called on the main queue after the list, the catalogue, the mode or the resolved device may
    // have changed.
    std::function<void()> onChange;

    std::vector<PriorityListRow> rows() const;
    // Shown in place of the list while it is empty.
    std::optional<std::string> emptyText() const;
    // The items of "Gerät hinzufügen", labelled with the device's name: available devices, in
    // catalogue order, that are not in the list yet.
    std::vector<AudioDeviceInfo> addCandidates() const;
    bool canAddDevice() const;
    bool showsActivateButton() const;
    bool canActivate() const;

    // A device chosen in "Gerät hinzufügen": appended at the end. Does nothing for a UID that is not
    // a candidate.
    void addDevice(const std::string& uid);
    // The remove button of a row.
    void removeRow(std::size_t row);
    // Rows dragged to a new place: the rows at `offsets` move as a block, in their order, to before
    // the row that was at `destination` (the row count moves them to the end).
    void moveRows(const std::set<std::size_t>& offsets, std::size_t destination);
    // "„Nach Priorität“ aktivieren".
    void activatePriorityMode();

    // The list after such a move; offsets beyond the list are ignored.
    static std::vector<DevicePriorityEntry> movedEntries(const std::vector<DevicePriorityEntry>& entries,
                                                         const std::set<std::size_t>& offsets, std::size_t destination);

private:
    bool isConnected(const DevicePriorityEntry& entry) const;
    bool isPriorityMode() const;
    void notify() const;

    DeviceManager& deviceManager_;
    std::vector<AnyCancellable> cancellables_;
};

}  // namespace velunto
