#include "platform/servicemanagement/DesktopEntry.h"

#include <sstream>
#include <string_view>

namespace velunto {

namespace {

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// \s \n \t \r \\ of string values; other backslashes stay for the Exec quoting rules.
std::string unescapeString(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        switch (text[i + 1]) {
            case 's':
                result += ' ';
                break;
            case 'n':
                result += '\n';
                break;
            case 't':
                result += '\t';
                break;
            case 'r':
                result += '\r';
                break;
            case '\\':
                result += '\\';
                break;
            default:
                result += text[i];
                continue;
        }
        ++i;
    }
    return result;
}

std::string undoPercent(const std::string& text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i) {
        result += text[i];
        if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == '%')
            ++i;
    }
    return result;
}

}  // namespace

DesktopEntry DesktopEntry::parse(const std::string& text) {
    DesktopEntry entry;
    std::istringstream lines(text);
    std::string group;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        if (trimmed[0] == '[') {
            group = trimmed.substr(1, trimmed.find(']') - 1);
            continue;
        }
        const auto equals = line.find('=');
        if (group != "Desktop Entry" || equals == std::string::npos)
            continue;
        // The first of duplicate keys counts.
        entry.values_.emplace(trim(line.substr(0, equals)), unescapeString(trim(line.substr(equals + 1))));
    }
    return entry;
}

std::optional<std::string> DesktopEntry::value(const std::string& key) const {
    const auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

std::optional<bool> DesktopEntry::boolean(const std::string& key) const {
    const auto text = value(key);
    if (text == "true")
        return true;
    if (text == "false")
        return false;
    return std::nullopt;
}

std::optional<std::string> DesktopEntry::execProgram() const {
    const auto exec = value("Exec");
    if (!exec)
        return std::nullopt;
    const std::string& line = *exec;
    std::size_t i = line.find_first_not_of(' ');
    if (i == std::string::npos)
        return std::nullopt;
    std::string program;
    if (line[i] == '"') {
        for (++i;; ++i) {
            if (i >= line.size())
                return std::nullopt;  // unterminated quote
            if (line[i] == '"')
                break;
            if (line[i] == '\\' && i + 1 < line.size() &&
                std::string_view("\"`$\\").find(line[i + 1]) != std::string::npos)
                ++i;
            program += line[i];
        }
    } else {
        program = line.substr(i, line.find(' ', i) - i);
    }
    program = undoPercent(program);
    if (program.empty())
        return std::nullopt;
    return program;
}

std::string DesktopEntry::quoteExec(const std::string& program) {
    std::string quoted = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += '\\';
        quoted += c;
        if (c == '%')
            quoted += '%';
    }
    quoted += '"';
    std::string escaped;
    for (const char c : quoted) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '\n':
                escaped += "\\n";
                break;
            case '\t':
                escaped += "\\t";
                break;
            case '\r':
                escaped += "\\r";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

}  // namespace velunto
