#include "platform/oslog/LogFormatter.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>
#include <optional>

namespace velunto {
namespace {

struct Directive {
    std::string flags;
    int width = -1;
    int precision = -1;
    bool leftAlign = false;
};

bool isFlag(char c) {
    return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'';
}
bool isLengthModifier(char c) {
    return c == 'h' || c == 'l' || c == 'L' || c == 'q' || c == 'j' || c == 'z' || c == 't';
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// The format is built at run time from a parsed conversion, with an argument of the matching type.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
template <class T>
std::string printfValue(const std::string& directive, T value) {
    char small[128];
    const int length = std::snprintf(small, sizeof small, directive.c_str(), value);
    if (length < 0)
        return {};
    if (static_cast<std::size_t>(length) < sizeof small)
        return std::string(small, static_cast<std::size_t>(length));
    std::string result(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(result.data(), result.size(), directive.c_str(), value);
    result.resize(static_cast<std::size_t>(length));
    return result;
}
#pragma GCC diagnostic pop

std::string printfFormat(const Directive& directive, std::string_view lengthModifier, char conversion) {
    std::string result = "%";
    result += directive.flags;
    if (directive.width >= 0)
        result += std::to_string(directive.width);
    if (directive.precision >= 0) {
        result += '.';
        result += std::to_string(directive.precision);
    }
    result += lengthModifier;
    result += conversion;
    return result;
}

std::string shortestText(double value) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string plainText(const LogArgument& argument) {
    switch (argument.kind()) {
        case LogArgument::Kind::text:
            return std::string(argument.text());
        case LogArgument::Kind::boolean:
            return argument.signedValue() != 0 ? "true" : "false";
        case LogArgument::Kind::signedInteger:
            return std::to_string(argument.signedValue());
        case LogArgument::Kind::unsignedInteger:
            return std::to_string(argument.unsignedValue());
        case LogArgument::Kind::floatingPoint:
            return shortestText(argument.doubleValue());
    }
    return {};
}

// %s semantics: precision truncates, width pads with spaces (on the right for '-').
std::string padText(std::string text, const Directive& directive, bool applyPrecision) {
    if (applyPrecision && directive.precision >= 0 && text.size() > static_cast<std::size_t>(directive.precision)) {
        text.resize(static_cast<std::size_t>(directive.precision));
    }
    if (directive.width > 0 && text.size() < static_cast<std::size_t>(directive.width)) {
        const std::size_t padding = static_cast<std::size_t>(directive.width) - text.size();
        if (directive.leftAlign) {
            text.append(padding, ' ');
        } else {
            text.insert(0, padding, ' ');
        }
    }
    return text;
}

// The value of a signed argument as the unsigned type of the same width (what printf's %u/%x show).
std::uint64_t asUnsigned(const LogArgument& argument) {
    if (argument.kind() == LogArgument::Kind::unsignedInteger)
        return argument.unsignedValue();
    const auto bits = static_cast<std::uint64_t>(argument.signedValue());
    if (argument.width() >= 8)
        return bits;
    return bits & ((std::uint64_t{1} << (argument.width() * 8)) - 1);
}

bool isInteger(const LogArgument& argument) {
    return argument.kind() == LogArgument::Kind::signedInteger ||
           argument.kind() == LogArgument::Kind::unsignedInteger || argument.kind() == LogArgument::Kind::boolean;
}

std::string renderInteger(const Directive& directive, char conversion, const LogArgument& argument) {
    if (!isInteger(argument))
        return padText(plainText(argument), directive, false);
    switch (conversion) {
        case 'd':
        case 'i':
            if (argument.kind() == LogArgument::Kind::unsignedInteger &&
                argument.unsignedValue() > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
                return printfValue(printfFormat(directive, "ll", 'u'),
                                   static_cast<unsigned long long>(argument.unsignedValue()));
            }
            return printfValue(printfFormat(directive, "ll", conversion),
                               argument.kind() == LogArgument::Kind::unsignedInteger
                                   ? static_cast<long long>(argument.unsignedValue())
                                   : static_cast<long long>(argument.signedValue()));
        case 'c':
            return printfValue(printfFormat(directive, "", 'c'),
                               static_cast<int>(static_cast<unsigned char>(asUnsigned(argument))));
        case 'p':
            return printfValue(printfFormat(directive, "", 'p'),
                               reinterpret_cast<void*>(static_cast<std::uintptr_t>(asUnsigned(argument))));
        default:  // u o x X
            return printfValue(printfFormat(directive, "ll", conversion),
                               static_cast<unsigned long long>(asUnsigned(argument)));
    }
}

std::string renderFloating(const Directive& directive, char conversion, const LogArgument& argument) {
    double value = 0;
    switch (argument.kind()) {
        case LogArgument::Kind::floatingPoint:
            value = argument.doubleValue();
            break;
        case LogArgument::Kind::signedInteger:
        case LogArgument::Kind::boolean:
            value = static_cast<double>(argument.signedValue());
            break;
        case LogArgument::Kind::unsignedInteger:
            value = static_cast<double>(argument.unsignedValue());
            break;
        case LogArgument::Kind::text:
            return padText(plainText(argument), directive, false);
    }
    return printfValue(printfFormat(directive, "", conversion), value);
}

}  // namespace

std::string LogFormatter::format(std::string_view format, std::span<const LogArgument> arguments) {
    std::string out;
    out.reserve(format.size() + 16 * arguments.size());
    std::size_t nextArgument = 0;
    const auto takeArgument = [&]() -> const LogArgument* {
        return nextArgument < arguments.size() ? &arguments[nextArgument++] : nullptr;
    };
    // Width or precision given as '*': taken from the next argument if that is an integer.
    const auto takeStarValue = [&]() -> std::optional<std::int64_t> {
        const LogArgument* argument = takeArgument();
        if (argument == nullptr || !isInteger(*argument))
            return std::nullopt;
        if (argument->kind() == LogArgument::Kind::unsignedInteger) {
            return static_cast<std::int64_t>(std::min<std::uint64_t>(argument->unsignedValue(), 4096));
        }
        return std::clamp<std::int64_t>(argument->signedValue(), -4096, 4096);
    };

    std::size_t i = 0;
    const std::size_t end = format.size();
    while (i < end) {
        const char c = format[i];
        if (c != '%') {
            const std::size_t next = format.find('%', i);
            const std::size_t stop = next == std::string_view::npos ? end : next;
            out.append(format.substr(i, stop - i));
            i = stop;
            continue;
        }
        const std::size_t start = i++;
        if (i >= end) {
            out += '%';
            break;
        }
        if (format[i] == '%') {
            out += '%';
            ++i;
            continue;
        }
        if (format[i] == '{') {
            const std::size_t close = format.find('}', i);
            if (close == std::string_view::npos) {
                out.append(format.substr(start));
                break;
            }
            i = close + 1;
        }

        Directive directive;
        while (i < end && isFlag(format[i])) {
            if (format[i] == '-')
                directive.leftAlign = true;
            directive.flags += format[i++];
        }
        if (i < end && format[i] == '*') {
            ++i;
            if (const auto width = takeStarValue()) {
                if (*width < 0) {
                    directive.leftAlign = true;
                    directive.flags += '-';
                }
                directive.width = static_cast<int>(*width < 0 ? -*width : *width);
            }
        } else {
            while (i < end && isDigit(format[i])) {
                directive.width = std::min(std::max(directive.width, 0) * 10 + (format[i++] - '0'), 4096);
            }
        }
        if (i < end && format[i] == '.') {
            ++i;
            directive.precision = 0;
            if (i < end && format[i] == '*') {
                ++i;
                const auto precision = takeStarValue();
                directive.precision = precision && *precision >= 0 ? static_cast<int>(*precision) : -1;
            } else {
                while (i < end && isDigit(format[i]))
                    directive.precision = std::min(directive.precision * 10 + (format[i++] - '0'), 4096);
            }
        }
        while (i < end && isLengthModifier(format[i]))
            ++i;
        if (i >= end) {
            out.append(format.substr(start));
            break;
        }
        const char conversion = format[i++];
        const bool known = std::string_view("diuoxXcpfFeEgGaAs@").find(conversion) != std::string_view::npos;
        if (!known) {
            out.append(format.substr(start, i - start));
            continue;
        }
        const LogArgument* argument = takeArgument();
        if (argument == nullptr) {
            out += missingArgument;
            continue;
        }
        switch (conversion) {
            case 's':
            case '@':
                out += padText(plainText(*argument), directive, true);
                break;
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A':
                out += renderFloating(directive, conversion, *argument);
                break;
            default:
                out += renderInteger(directive, conversion, *argument);
                break;
        }
    }
    return out;
}

}  // namespace velunto
