// Every settings key fed a stored value of any type, as the user-defaults database hands it back: the first byte
// picks the key, the second the stored value's type, the rest is its content. A load must not throw or log, must
// leave the database as it was and must give the key's default for a value that is not even JSON; what it gives
// must satisfy the record's invariants, must be what the stored document says (the saved document's members are
// found in it with equal values), and must come back unchanged through the key's save path.
#include "app/settings/SettingsStore.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/oslog/LogCapture.h"
#include "platform/oslog/LogSinks.h"

#include "tests/platform/foundation/fuzz/PropertyListRoundTrip.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace velunto {
namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "settings fuzz check failed: %s\n", what);
        std::abort();
    }
}

template <class T>
T leading(const Data& bytes) {
    T value{};
    if (!bytes.empty())
        std::memcpy(&value, bytes.data(), std::min(sizeof value, bytes.size()));
    return value;
}

// The stored object: data, string, integer, real, boolean, date, any property list the content decodes to, or none.
std::optional<PropertyListValue> storedValue(std::uint8_t shape, const Data& content) {
    switch (shape % 8) {
        case 0:
            return PropertyListValue(content);
        case 1:
            return PropertyListValue(std::string(content.begin(), content.end()));
        case 2:
            return PropertyListValue(leading<std::int64_t>(content));
        case 3:
            return PropertyListValue(leading<double>(content));
        case 4:
            return PropertyListValue(!content.empty() && (content[0] & 1) != 0);
        case 5:
            return PropertyListValue(Date{leading<double>(content)});
        case 6:
            return PropertyListSerialization::propertyList(content);
        default:
            return std::nullopt;
    }
}

bool sameStored(const std::optional<PropertyListValue>& a, const std::optional<PropertyListValue>& b) {
    return a.has_value() == b.has_value() && (!a || fuzzing::samePropertyList(*a, *b));
}

// Numbers compare by value: exactly when both are integers, as doubles otherwise.
bool sameNumber(const JSON& a, const JSON& b) {
    if (a.is_number_float() || b.is_number_float())
        return a.get<double>() == b.get<double>();
    if (a.is_number_unsigned() != b.is_number_unsigned()) {
        const JSON& u = a.is_number_unsigned() ? a : b;
        const JSON& s = a.is_number_unsigned() ? b : a;
        return s.get<std::int64_t>() >= 0 &&
               u.get<std::uint64_t>() == static_cast<std::uint64_t>(s.get<std::int64_t>());
    }
    return a == b;
}

// Whether every member of `part` is in `whole` with an equal value (arrays element by element).
bool isContainedIn(const JSON& part, const JSON& whole) {
    if (part.is_number() && whole.is_number())
        return sameNumber(part, whole);
    if (part.type() != whole.type())
        return false;
    if (part.is_object()) {
        for (const auto& [key, value] : part.items()) {
            const auto found = whole.find(key);
            if (found == whole.end() || !isContainedIn(value, *found))
                return false;
        }
        return true;
    }
    if (part.is_array()) {
        if (part.size() != whole.size())
            return false;
        for (std::size_t i = 0; i < part.size(); ++i)
            if (!isContainedIn(part[i], whole[i]))
                return false;
        return true;
    }
    return part == whole;
}

bool isFinite(const EQSettings& settings) {
    for (const EQBand& band : settings.bands)
        if (!std::isfinite(band.frequency) || !std::isfinite(band.gain) || !std::isfinite(band.q))
            return false;
    return true;
}

bool isFinite(const PluginLatencyMeasurement& m) {
    return std::isfinite(m.activeSeconds) && std::isfinite(m.bypassedSeconds) && std::isfinite(m.reportedSeconds) &&
           std::isfinite(m.confidence) && std::isfinite(m.date.timeIntervalSinceReferenceDate);
}

class Check {
public:
    Check(SettingsKey key, std::optional<PropertyListValue> stored)
        : key_(key), name_(rawValue(key)), store_(UserDefaults::inMemory()) {
        if (stored)
            store_.defaults->set(name_, std::move(*stored));
        stored_ = store_.defaults->object(name_);  // a value beyond the property-list limits is not stored
    }

    void run() {
        switch (key_) {
            case SettingsKey::inputMode:
                coded<InputMode>(
                    InputMode::systemDefault(), [&] { return store_.loadInputMode(); },
                    [&](const InputMode& m) { store_.saveInputMode(m); },
                    [](const InputMode& m) { return m.kind == InputMode::Kind::fixed || m.uid.empty(); });
                break;
            case SettingsKey::pluginComponent:
                coded<std::optional<StoredPluginComponent>>(
                    std::nullopt, [&] { return store_.loadPluginComponent(); },
                    [&](const std::optional<StoredPluginComponent>& c) { store_.savePluginComponent(c); },
                    [](const auto&) { return true; });
                break;
            case SettingsKey::eqSettingsByDevice:
                coded<std::map<std::string, EQSettings>>(
                    {}, [&] { return store_.loadEQSettingsByDevice(); },
                    [&](const std::map<std::string, EQSettings>& m) { store_.saveEQSettingsByDevice(m); },
                    [](const std::map<std::string, EQSettings>& m) {
                        for (const auto& [device, settings] : m)
                            if (!isFinite(settings))
                                return false;
                        return true;
                    });
                break;
            case SettingsKey::devicePriority:
                coded<std::vector<DevicePriorityEntry>>(
                    {}, [&] { return store_.loadDevicePriority(); },
                    [&](const std::vector<DevicePriorityEntry>& list) { store_.saveDevicePriority(list); },
                    [](const auto&) { return true; });
                break;
            case SettingsKey::cameraSelection:
                coded<CameraSelection>(
                    CameraSelection::automatic(), [&] { return store_.loadCameraSelection(); },
                    [&](const CameraSelection& s) { store_.saveCameraSelection(s); },
                    [](const CameraSelection& s) {
                        return s.kind == CameraSelection::Kind::device || s.uniqueID.empty();
                    });
                break;
            case SettingsKey::pluginLatencyMeasurements:
                coded<std::map<std::string, PluginLatencyMeasurement>>(
                    {}, [&] { return store_.loadPluginLatencyMeasurements(); },
                    [&](const std::map<std::string, PluginLatencyMeasurement>& m) {
                        store_.savePluginLatencyMeasurements(m);
                    },
                    [](const std::map<std::string, PluginLatencyMeasurement>& m) {
                        for (const auto& [plugin, measurement] : m)
                            if (!isFinite(measurement))
                                return false;
                        return true;
                    });
                break;
            case SettingsKey::pauseShortcut:
                coded<std::optional<KeyShortcut>>(
                    std::nullopt, [&] { return store_.loadPauseShortcut(); },
                    [&](const std::optional<KeyShortcut>& s) { store_.savePauseShortcut(s); },
                    [](const auto&) { return true; });
                break;
            case SettingsKey::pluginState:
                pluginState();
                break;
            case SettingsKey::bypass:
                bypass();
                break;
            case SettingsKey::isRunning:
                isRunning();
                break;
            case SettingsKey::videoOffsetMilliseconds:
                videoOffset();
                break;
            case SettingsKey::monitorDeviceUID:
                monitorDeviceUID();
                break;
        }
    }

private:
    // A JSON record: the key's default unless the stored value is JSON data, and a fixed point of save and load.
    template <class T, class Load, class Save, class Valid>
    void coded(const T& fallback, Load load, Save save, Valid isValid) {
        const T loaded = load();
        require(sameStored(store_.defaults->object(name_), stored_), "a load changed the database");
        const bool isJSON = stored_ && stored_->isData() && JSON::accept(stored_->get<Data>());
        require(isJSON || loaded == fallback, "a value that is not JSON data did not give the default");
        require(isValid(loaded), "a decoded record breaks its invariants");

        store_.defaults->removeObject(name_);
        save(loaded);
        const std::optional<Data> saved = store_.defaults->data(name_);
        if (!(loaded == fallback)) {
            require(saved.has_value(), "a decoded record was not saved");
            const JSON written = JSON::parse(saved->begin(), saved->end(), nullptr, false);
            const Data& document = stored_->get<Data>();
            const JSON original = JSON::parse(document.begin(), document.end(), nullptr, false);
            require(!written.is_discarded() && isContainedIn(written, original),
                    "the saved record says something the stored document did not");
        }
        const T reloaded = load();
        require(reloaded == loaded, "a saved record does not load back as itself");
        save(reloaded);
        require(store_.defaults->data(name_) == saved, "saving a loaded record again stores something else");
    }

    // The plug-in's state, as the plug-in host restores and saves it: a dictionary in binary property-list data.
    void pluginState() {
        const std::optional<Data> data = store_.defaults->data(name_);
        if (!data)
            return;
        const auto state = PropertyListSerialization::propertyList(*data);
        if (!state || !state->isDictionary())
            return;
        Data encoded;
        try {
            encoded = PropertyListSerialization::binaryData(*state);
        } catch (const std::length_error&) {
            return;  // too large to store: the slot keeps what it had
        }
        store_.defaults->set(name_, PropertyListValue(std::move(encoded)));
        const auto restored = PropertyListSerialization::propertyList(store_.defaults->data(name_).value_or(Data{}));
        require(restored && fuzzing::isFaithfulRoundTrip(*state, *restored),
                "a saved plug-in state does not restore as itself");
        const auto again = PropertyListSerialization::propertyList(PropertyListSerialization::binaryData(*restored));
        require(again && fuzzing::samePropertyList(*restored, *again), "a restored plug-in state is not stable");
    }

    void bypass() {
        const bool flag = store_.defaults->boolean(name_);
        if (!stored_) {
            require(!flag, "a missing bypass flag reads as set");
        } else if (const auto b = stored_->boolean()) {
            require(flag == *b, "a stored boolean reads differently");
        } else if (const auto i = stored_->integer()) {
            require(flag == (*i != 0), "a stored integer reads differently");
        } else if (const auto r = stored_->real()) {
            require(flag == (*r != 0.0), "a stored real reads differently");
        } else if (!stored_->isString()) {
            require(!flag, "a value of another type reads as set");
        }
        store_.defaults->set(name_, PropertyListValue(flag));
        require(store_.defaults->boolean(name_) == flag, "a saved bypass flag reads differently");
    }

    void isRunning() {
        const bool running = store_.loadIsRunning();
        if (!stored_)
            require(running, "a missing running flag reads as stopped");
        else if (const auto b = stored_->boolean())
            require(running == *b, "a stored boolean reads differently");
        else if (const auto i = stored_->integer())  // only 0 and 1 convert
            require(running == (*i != 0), "a stored integer reads differently");
        else if (const auto r = stored_->real())
            require(running == (*r != 0.0), "a stored real reads differently");
        else if (stored_->isString() || stored_->isData() || stored_->isDate() || stored_->isArray() ||
                 stored_->isDictionary())
            require(running, "a value that is not a number or boolean reads as stopped");
        store_.defaults->set(name_, PropertyListValue(running));
        require(store_.loadIsRunning() == running, "a saved running flag reads differently");
    }

    void videoOffset() {
        const std::int64_t milliseconds = store_.defaults->integer(name_);
        if (!stored_) {
            require(milliseconds == 0, "a missing offset is not 0");
        } else if (const auto i = stored_->integer()) {
            require(milliseconds == *i, "a stored integer reads differently");
        } else if (const auto b = stored_->boolean()) {
            require(milliseconds == (*b ? 1 : 0), "a stored boolean reads differently");
        } else if (const auto r = stored_->real()) {
            // Truncated toward zero and clamped.
            const double value = *r;
            if (std::isnan(value))
                require(milliseconds == 0, "NaN is not read as 0");
            else if (value >= 9223372036854775807.0)
                require(milliseconds == std::numeric_limits<std::int64_t>::max(), "a large real is not clamped");
            else if (value <= -9223372036854775808.0)
                require(milliseconds == std::numeric_limits<std::int64_t>::min(), "a small real is not clamped");
            else
                require(std::fabs(static_cast<double>(milliseconds)) <= std::fabs(value) &&
                            std::fabs(value - static_cast<double>(milliseconds)) < 1.0,
                        "a real is not truncated toward zero");
        }
        store_.defaults->set(name_, PropertyListValue(milliseconds));
        require(store_.defaults->integer(name_) == milliseconds, "a saved offset reads differently");
    }

    void monitorDeviceUID() {
        const std::optional<std::string> uid = store_.defaults->string(name_);
        if (!stored_ || stored_->isData() || stored_->isDate() || stored_->isArray() || stored_->isDictionary())
            require(!uid, "a missing value or one of another type reads as a device");
        else if (stored_->isString())
            require(uid == stored_->get<std::string>(), "a stored string reads differently");
        else if (const auto i = stored_->integer())
            require(uid == std::to_string(*i), "a stored integer reads differently");
        else if (const auto b = stored_->boolean())
            require(uid == std::string(*b ? "1" : "0"), "a stored boolean reads differently");
        else if (const auto r = stored_->real(); r && std::isfinite(*r))
            require(uid && std::strtod(uid->c_str(), nullptr) == *r, "a real's text does not read back as the real");
        if (uid)
            store_.defaults->set(name_, PropertyListValue(*uid));
        else
            store_.defaults->removeObject(name_);
        require(store_.defaults->string(name_) == uid, "a saved device reads differently");
    }

    SettingsKey key_;
    const std::string& name_;
    SettingsStore store_;
    std::optional<PropertyListValue> stored_;
};

}  // namespace
}  // namespace velunto

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    [[maybe_unused]] static const bool quiet = [] {
        LogSinks::setStderrEnabled(false);
        return true;
    }();
    if (size < 2)
        return 0;
    const SettingsKey key = allSettingsKeys[data[0] % allSettingsKeys.size()];
    const Data content(data + 2, data + size);
    Check check(key, storedValue(data[1], content));
    LogCapture log;
    check.run();
    require(log.entries().empty(), "loading or saving a setting logged");
    return 0;
}
