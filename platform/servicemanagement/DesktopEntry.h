#pragma once

#include <map>
#include <optional>
#include <string>

namespace velunto {

// The keys of a .desktop file's [Desktop Entry] group, and the quoting of its Exec line.
class DesktopEntry {
public:
    static DesktopEntry parse(const std::string& text);

    // The raw value (string escapes undone), if the key is present.
    std::optional<std::string> value(const std::string& key) const;
    // "true"/"false" values; anything else counts as absent.
    std::optional<bool> boolean(const std::string& key) const;
    // The program of the Exec line: its first argument with quoting and %% undone.
    std::optional<std::string> execProgram() const;

    // A value for `Exec=` that runs exactly `program` without arguments.
    static std::string quoteExec(const std::string& program);

private:
    std::map<std::string, std::string> values_;
};

}  // namespace velunto
