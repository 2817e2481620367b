#include "app/ui/PriorityListModel.h"

#include <algorithm>

#include "platform/dispatch/DispatchQueue.h"

namespace velunto {

PriorityListModel::PriorityListModel(DeviceManager& deviceManager) : deviceManager_(deviceManager) {
    const auto changed = [this](const auto&) { notify(); };
    const PublishedSinkOptions later{.initial = false};
    deviceManager_.priorityList.sink(DispatchQueue::main(), changed, later).store(cancellables_);
    deviceManager_.availableInputDevices.sink(DispatchQueue::main(), changed, later).store(cancellables_);
    deviceManager_.resolvedDeviceUID.sink(DispatchQueue::main(), changed, later).store(cancellables_);
    // The mode is not observable itself; every resolution, and so every change of mode, sets this.
    deviceManager_.isUsingFallback.sink(DispatchQueue::main(), changed, later).store(cancellables_);
}

void PriorityListModel::notify() const {
    if (onChange)
        onChange();
}

bool PriorityListModel::isPriorityMode() const {
    return deviceManager_.mode().kind == InputMode::Kind::priority;
}

bool PriorityListModel::isConnected(const DevicePriorityEntry& entry) const {
    return deviceManager_.deviceWithUID(entry.uid).has_value();
}

std::vector<PriorityListRow> PriorityListModel::rows() const {
    const auto& entries = deviceManager_.priorityList.value();
    const auto& resolved = deviceManager_.resolvedDeviceUID.value();
    std::vector<PriorityListRow> rows;
    rows.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        PriorityListRow row;
        row.positionText = std::to_string(i + 1) + ".";
        row.uid = entries[i].uid;
        row.name = entries[i].name;
        row.isConnected = isConnected(entries[i]);
        row.statusHelpText = row.isConnected ? kConnectedHelp : kDisconnectedHelp;
        if (isPriorityMode() && resolved == entries[i].uid)
            row.badge = kActiveBadge;
        rows.push_back(std::move(row));
    }
    return rows;
}

std::optional<std::string> PriorityListModel::emptyText() const {
    if (!deviceManager_.priorityList.value().empty())
        return std::nullopt;
    return kEmptyText;
}

std::vector<AudioDeviceInfo> PriorityListModel::addCandidates() const {
    const auto& entries = deviceManager_.priorityList.value();
    std::vector<AudioDeviceInfo> candidates;
    for (const auto& device : deviceManager_.availableInputDevices.value()) {
        const bool listed = std::any_of(entries.begin(), entries.end(),
                                        [&](const DevicePriorityEntry& entry) { return entry.uid == device.uid; });
        if (!listed)
            candidates.push_back(device);
    }
    return candidates;
}

bool PriorityListModel::canAddDevice() const {
    return !addCandidates().empty();
}

bool PriorityListModel::showsActivateButton() const {
    return !isPriorityMode();
}

bool PriorityListModel::canActivate() const {
    return !deviceManager_.priorityList.value().empty();
}

void PriorityListModel::addDevice(const std::string& uid) {
    for (const auto& candidate : addCandidates()) {
        if (candidate.uid == uid) {
            deviceManager_.addToPriority(candidate);
            return;
        }
    }
}

void PriorityListModel::removeRow(std::size_t row) {
    const auto& entries = deviceManager_.priorityList.value();
    if (row >= entries.size())
        return;
    const std::string uid = entries[row].uid;
    deviceManager_.removeFromPriority(uid);
}

void PriorityListModel::moveRows(const std::set<std::size_t>& offsets, std::size_t destination) {
    const auto& entries = deviceManager_.priorityList.value();
    if (std::none_of(offsets.begin(), offsets.end(), [&](std::size_t offset) { return offset < entries.size(); }))
        return;
    deviceManager_.setPriorityList(movedEntries(entries, offsets, destination));
}

void PriorityListModel::activatePriorityMode() {
    if (showsActivateButton() && canActivate())
        deviceManager_.setMode(InputMode::priority());
}

std::vector<DevicePriorityEntry> PriorityListModel::movedEntries(const std::vector<DevicePriorityEntry>& entries,
                                                                 const std::set<std::size_t>& offsets,
                                                                 std::size_t destination) {
    destination = std::min(destination, entries.size());
    std::vector<DevicePriorityEntry> moved;
    std::vector<DevicePriorityEntry> kept;
    std::size_t insertAt = 0;  // the destination among the rows that stay
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (offsets.contains(i)) {
            moved.push_back(entries[i]);
        } else {
            kept.push_back(entries[i]);
            if (i < destination)
                ++insertAt;
        }
    }
    kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(insertAt), moved.begin(), moved.end());
    return kept;
}

}  // namespace velunto
