#include "platform/foundation/PropertyListSerialization.h"

#include "platform/foundation/PropertyListBinaryValidator.h"
#include "platform/foundation/PropertyListXmlValidator.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

namespace velunto {
namespace {

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

struct LimitCounter {
    std::uint64_t objects = 0;
    std::uint64_t payload = 0;
};

bool countWithinLimits(const PropertyListValue& value, std::size_t depth, LimitCounter& counter) {
    const PropertyListLimits& limits = PropertyListSerialization::limits;
    if (depth > limits.maximumDepth || ++counter.objects > limits.maximumObjects)
        return false;
    switch (value.type()) {
        case PropertyListValue::Type::string:
            // Non-ASCII strings are written as UTF-16: at most two bytes per UTF-8 byte.
            counter.payload += 2 * value.get<std::string>().size();
            break;
        case PropertyListValue::Type::data:
            counter.payload += value.get<Data>().size();
            break;
        case PropertyListValue::Type::array:
            for (const PropertyListValue& element : value.get<PropertyListValue::Array>()) {
                if (!countWithinLimits(element, depth + 1, counter))
                    return false;
            }
            break;
        case PropertyListValue::Type::dictionary:
            for (const auto& [key, element] : value.get<PropertyListValue::Dictionary>()) {
                if (++counter.objects > limits.maximumObjects || depth + 1 > limits.maximumDepth)
                    return false;
                counter.payload += 2 * key.size();
                if (!countWithinLimits(element, depth + 1, counter))
                    return false;
            }
            break;
        default:
            break;
    }
    return counter.payload <= limits.maximumPayloadBytes;
}

// libplist writes non-ASCII strings as UTF-16 and stops converting at the first invalid byte; a
// string starting with one would be written as an empty UTF-16 string, which makes the whole file
// unreadable. Invalid sequences are therefore replaced with U+FFFD before encoding.
std::string validUtf8(std::string_view text) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string result;
    result.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
        const unsigned char lead = byte(i);
        if (lead < 0x80) {
            result += static_cast<char>(lead);
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char secondLow = 0x80;
        unsigned char secondHigh = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            if (lead == 0xE0)
                secondLow = 0xA0;  // no overlong forms
            if (lead == 0xED)
                secondHigh = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            if (lead == 0xF0)
                secondLow = 0x90;
            if (lead == 0xF4)
                secondHigh = 0x8F;  // nothing above U+10FFFF
        }
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = byte(i + k);
            valid = k == 1 ? (next >= secondLow && next <= secondHigh) : (next >= 0x80 && next <= 0xBF);
        }
        if (valid) {
            result.append(text.substr(i, length));
            i += length;
        } else {
            result += replacement;
            ++i;
        }
    }
    return result;
}

plist_t newDate(Date date) {
    double seconds = std::floor(date.timeIntervalSinceReferenceDate);
    auto microseconds = std::llround((date.timeIntervalSinceReferenceDate - seconds) * 1e6);
    if (microseconds >= 1000000) {
        seconds += 1;
        microseconds -= 1000000;
    }
    constexpr double lowest = std::numeric_limits<std::int32_t>::min();
    constexpr double highest = std::numeric_limits<std::int32_t>::max();
    if (std::isnan(seconds))
        seconds = 0;
    if (seconds < lowest) {
        seconds = lowest;
        microseconds = 0;
    } else if (seconds > highest) {
        seconds = highest;
        microseconds = 0;
    }
    return plist_new_date(static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(microseconds));
}

Node toNode(const PropertyListValue& value) {
    switch (value.type()) {
        case PropertyListValue::Type::boolean:
            return Node(plist_new_bool(value.get<bool>() ? 1 : 0));
        case PropertyListValue::Type::integer:
            return Node(plist_new_uint(static_cast<std::uint64_t>(value.get<std::int64_t>())));
        case PropertyListValue::Type::real:
            return Node(plist_new_real(value.get<double>()));
        case PropertyListValue::Type::string:
            return Node(plist_new_string(validUtf8(value.get<std::string>()).c_str()));
        case PropertyListValue::Type::data: {
            static const char empty = 0;
            const Data& bytes = value.get<Data>();
            const char* start = bytes.empty() ? &empty : reinterpret_cast<const char*>(bytes.data());
            return Node(plist_new_data(start, bytes.size()));
        }
        case PropertyListValue::Type::date:
            return Node(newDate(value.get<Date>()));
        case PropertyListValue::Type::array: {
            Node array(plist_new_array());
            for (const PropertyListValue& element : value.get<PropertyListValue::Array>()) {
                plist_array_append_item(array.get(), toNode(element).release());
            }
            return array;
        }
        case PropertyListValue::Type::dictionary: {
            Node dictionary(plist_new_dict());
            for (const auto& [key, element] : value.get<PropertyListValue::Dictionary>()) {
                plist_dict_set_item(dictionary.get(), validUtf8(key).c_str(), toNode(element).release());
            }
            return dictionary;
        }
    }
    throw std::logic_error("unknown property-list type");
}

// libplist hands out dates as (seconds truncated toward zero, |fraction| in microseconds).
Date dateFromNode(plist_t node) {
    std::int32_t seconds = 0;
    std::int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    const double fraction = std::fabs(static_cast<double>(microseconds)) / 1e6;
    const double whole = static_cast<double>(seconds);
    return Date{seconds < 0 ? whole - fraction : whole + fraction};
}

std::optional<PropertyListValue> fromNode(plist_t node, std::size_t depth) {
    if (node == nullptr || depth > PropertyListSerialization::limits.maximumDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t value = 0;
            plist_get_bool_val(node, &value);
            return PropertyListValue(value != 0);
        }
        case PLIST_UINT: {
            std::uint64_t value = 0;
            plist_get_uint_val(node, &value);
            return PropertyListValue(static_cast<std::int64_t>(value));
        }
        case PLIST_REAL: {
            double value = 0;
            plist_get_real_val(node, &value);
            return PropertyListValue(value);
        }
        case PLIST_STRING: {
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            return PropertyListValue(text != nullptr ? std::string(text, static_cast<std::size_t>(length))
                                                     : std::string());
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            const char* bytes = plist_get_data_ptr(node, &length);
            const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
            return PropertyListValue(bytes != nullptr ? Data(first, first + length) : Data());
        }
        case PLIST_DATE:
            return PropertyListValue(dateFromNode(node));
        case PLIST_ARRAY: {
            PropertyListValue::Array array;
            const std::uint32_t size = plist_array_get_size(node);
            array.reserve(size);
            for (std::uint32_t i = 0; i < size; ++i) {
                auto element = fromNode(plist_array_get_item(node, i), depth + 1);
                if (!element)
                    return std::nullopt;
                array.push_back(std::move(*element));
            }
            return PropertyListValue(std::move(array));
        }
        case PLIST_DICT: {
            PropertyListValue::Dictionary dictionary;
            plist_dict_iter iterator = nullptr;
            plist_dict_new_iter(node, &iterator);
            if (iterator == nullptr)
                return std::nullopt;
            std::optional<PropertyListValue> result;
            while (true) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iterator, &key, &item);
                if (key == nullptr) {
                    result = PropertyListValue(std::move(dictionary));
                    break;
                }
                std::string name(key);
                std::free(key);
                auto element = fromNode(item, depth + 1);
                if (!element)
                    break;
                dictionary.insert_or_assign(std::move(name), std::move(*element));
            }
            std::free(iterator);
            return result;
        }
        default:
            return std::nullopt;  // keys outside dictionaries, UIDs, unknown types
    }
}

}  // namespace

bool PropertyListSerialization::isWithinLimits(const PropertyListValue& value) {
    LimitCounter counter;
    return countWithinLimits(value, 1, counter);
}

Data PropertyListSerialization::binaryData(const PropertyListValue& value) {
    if (!isWithinLimits(value))
        throw std::length_error("property list exceeds the nesting or size limits");
    const Node root = toNode(value);
    char* bytes = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(root.get(), &bytes, &length);
    if (bytes == nullptr)
        throw std::runtime_error("binary property-list encoding failed");
    const auto* first = reinterpret_cast<const std::uint8_t*>(bytes);
    Data result(first, first + length);
    std::free(bytes);
    return result;
}

std::optional<PropertyListValue> PropertyListSerialization::propertyList(const Data& bytes) {
    if (bytes.size() < 8 || bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return std::nullopt;
    const auto length = static_cast<std::uint32_t>(bytes.size());
    plist_t parsed = nullptr;
    if (std::memcmp(bytes.data(), "bplist", 6) == 0) {
        if (!PropertyListBinaryValidator::isAcceptable(bytes, limits))
            return std::nullopt;
        plist_from_bin(reinterpret_cast<const char*>(bytes.data()), length, &parsed);
    } else {
        // A terminated copy: the XML reader must never run past the end of the buffer.
        const std::string xml(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        if (!PropertyListXmlValidator::isAcceptable(xml, limits.maximumDepth + 1))
            return std::nullopt;
        plist_from_xml(xml.c_str(), length, &parsed);
    }
    const Node root(parsed);
    return fromNode(parsed, 1);
}

}  // namespace velunto
