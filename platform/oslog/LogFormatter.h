#pragma once

#include <array>
#include <concepts>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace velunto {

// One argument of a log call. Text arguments are referenced, not copied: a LogArgument lives only
// for the duration of the call that formats it.
class LogArgument {
public:
    enum class Kind { signedInteger, unsignedInteger, floatingPoint, boolean, text };

    LogArgument(bool value) : kind_(Kind::boolean), signed_(value ? 1 : 0), width_(sizeof(bool)) {}

    template <std::signed_integral T>
    LogArgument(T value) : kind_(Kind::signedInteger), signed_(value), width_(sizeof(T)) {}

    template <std::unsigned_integral T>
    requires(!std::same_as<T, bool>) LogArgument(T value)
        : kind_(Kind::unsignedInteger), unsigned_(value), width_(sizeof(T)) {}

    template <std::floating_point T>
    LogArgument(T value) : kind_(Kind::floatingPoint), double_(static_cast<double>(value)) {}

    template <class E>
    requires std::is_enum_v<E> LogArgument(E value) : LogArgument(static_cast<std::underlying_type_t<E>>(value)) {}

    LogArgument(const char* value) : kind_(Kind::text), text_(value != nullptr ? value : "(null)") {}
    LogArgument(std::string_view value) : kind_(Kind::text), text_(value) {}
    LogArgument(const std::string& value) : kind_(Kind::text), text_(value) {}

    Kind kind() const { return kind_; }
    std::int64_t signedValue() const { return signed_; }
    std::uint64_t unsignedValue() const { return unsigned_; }
    double doubleValue() const { return double_; }
    std::string_view text() const { return text_; }
    // Size in bytes of the integer type the value was given as.
    unsigned width() const { return width_; }

private:
    Kind kind_;
    std::int64_t signed_ = 0;
    std::uint64_t unsigned_ = 0;
    double double_ = 0;
    std::string_view text_;
    unsigned width_ = 8;
};

// Renders os_log-style format strings: printf conversions with optional privacy markers such as
// %{public}s or %{private}d, which are dropped (every value is rendered in clear text). Each
// argument is rendered according to its own type, so a mismatched conversion never reads the wrong
// type; an argument that cannot take the conversion is rendered as text. Missing arguments render
// as "<missing>", surplus ones are ignored.
class LogFormatter {
public:
    static constexpr std::string_view missingArgument = "<missing>";

    static std::string format(std::string_view format, std::span<const LogArgument> arguments);
};

template <class... A>
std::string formatLogMessage(std::string_view format, const A&... arguments) {
    const std::array<LogArgument, sizeof...(A)> converted{LogArgument(arguments)...};
    return LogFormatter::format(format, std::span<const LogArgument>(converted));
}

}  // namespace velunto
