#include "platform/foundation/PropertyListBinaryValidator.h"

#include <algorithm>
#include <array>
#include <optional>
#include <vector>

namespace velunto {
namespace {

constexpr std::size_t headerSize = 8;
constexpr std::size_t trailerSize = 32;

std::uint64_t readBigEndian(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t size) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < size; ++i)
        value = (value << 8) | bytes[offset + i];
    return value;
}

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b) {
    return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

struct ObjectLayout {
    std::uint8_t typeNibble = 0;
    std::uint64_t payloadBytes = 0;
    std::uint64_t childCount = 0;      // references following the header (dictionary: keys, then values)
    std::size_t referencesOffset = 0;  // also where string and data contents start
    bool isDictionary = false;
};

class Checker {
public:
    Checker(std::span<const std::uint8_t> bytes, const PropertyListLimits& limits) : bytes_(bytes), limits_(limits) {}

    bool run() {
        if (bytes_.size() < headerSize + trailerSize)
            return false;
        static constexpr std::array<std::uint8_t, headerSize> magic{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        if (!std::equal(magic.begin(), magic.end(), bytes_.begin()))
            return false;

        const std::size_t trailer = bytes_.size() - trailerSize;
        offsetSize_ = bytes_[trailer + 6];
        referenceSize_ = bytes_[trailer + 7];
        const std::uint64_t objectCount = readBigEndian(bytes_, trailer + 8, 8);
        const std::uint64_t root = readBigEndian(bytes_, trailer + 16, 8);
        const std::uint64_t offsetTable = readBigEndian(bytes_, trailer + 24, 8);
        if (offsetSize_ < 1 || offsetSize_ > 8 || referenceSize_ < 1 || referenceSize_ > 8)
            return false;
        if (objectCount == 0 || objectCount > limits_.maximumObjects || root >= objectCount)
            return false;
        if (offsetTable < headerSize || offsetTable > trailer)
            return false;
        if (objectCount > (trailer - offsetTable) / offsetSize_)
            return false;

        objectCount_ = static_cast<std::size_t>(objectCount);
        offsetTable_ = static_cast<std::size_t>(offsetTable);
        objectsEnd_ = offsetTable_;
        keyVerdicts_.assign(objectCount_, 0);
        return walk(static_cast<std::size_t>(root));
    }

private:
    std::optional<std::size_t> objectOffset(std::size_t index) const {
        const std::uint64_t offset = readBigEndian(bytes_, offsetTable_ + index * offsetSize_, offsetSize_);
        if (offset < headerSize || offset >= objectsEnd_)
            return std::nullopt;
        return static_cast<std::size_t>(offset);
    }

    std::optional<ObjectLayout> layout(std::size_t index) const {
        const auto start = objectOffset(index);
        if (!start)
            return std::nullopt;
        const std::uint8_t marker = bytes_[*start];
        ObjectLayout object;
        object.typeNibble = marker >> 4;
        const std::uint8_t info = marker & 0x0F;
        std::size_t position = *start + 1;
        const auto fits = [&](std::uint64_t length) { return length <= objectsEnd_ - position; };

        switch (object.typeNibble) {
            case 0x0:  // false / true; null and fill have no counterpart in the value model
                return (info == 0x8 || info == 0x9) ? std::optional(object) : std::nullopt;
            case 0x1:  // integer of 1, 2, 4, 8 or 16 bytes
                return info <= 4 && fits(std::uint64_t{1} << info) ? std::optional(object) : std::nullopt;
            case 0x2:  // real of 4 or 8 bytes
                return (info == 2 || info == 3) && fits(std::uint64_t{1} << info) ? std::optional(object)
                                                                                  : std::nullopt;
            case 0x3:  // date: 8-byte real
                return info == 3 && fits(8) ? std::optional(object) : std::nullopt;
            case 0x4:
            case 0x5:
            case 0x6:
            case 0xA:
            case 0xC:
            case 0xD:
                break;
            default:
                return std::nullopt;  // UID and reserved types
        }

        std::uint64_t count = info;
        if (info == 0x0F) {
            if (!fits(1))
                return std::nullopt;
            const std::uint8_t sizeMarker = bytes_[position];
            if ((sizeMarker >> 4) != 0x1 || (sizeMarker & 0x0F) > 3)
                return std::nullopt;
            const std::size_t sizeBytes = std::size_t{1} << (sizeMarker & 0x0F);
            ++position;
            if (!fits(sizeBytes))
                return std::nullopt;
            count = readBigEndian(bytes_, position, sizeBytes);
            position += sizeBytes;
        }
        const std::size_t available = objectsEnd_ - position;
        switch (object.typeNibble) {
            case 0x4:  // data
            case 0x5:  // ASCII string
                if (count > available)
                    return std::nullopt;
                object.payloadBytes = count;
                break;
            case 0x6:  // UTF-16 string; libplist rejects an empty one
                if (count == 0 || count > available / 2)
                    return std::nullopt;
                object.payloadBytes = count * 2;
                break;
            case 0xA:  // array
            case 0xC:  // set, read as an array
                if (count > available / referenceSize_)
                    return std::nullopt;
                object.childCount = count;
                break;
            case 0xD:  // dictionary
                if (count > available / referenceSize_ / 2)
                    return std::nullopt;
                object.childCount = count * 2;
                object.isDictionary = true;
                break;
            default:
                break;
        }
        object.referencesOffset = position;
        return object;
    }

    // Keys must be strings. libplist asserts (aborts) when reading a key whose UTF-16 text contains
    // U+0000, so such keys are refused here.
    // Each object is examined once however often it is used as a key.
    bool isAcceptableKey(std::size_t index) {
        if (keyVerdicts_[index] == 0)
            keyVerdicts_[index] = examineKey(index) ? 1 : -1;
        return keyVerdicts_[index] > 0;
    }

    bool examineKey(std::size_t index) const {
        const auto object = layout(index);
        if (!object)
            return false;
        if (object->typeNibble == 0x5)
            return true;
        if (object->typeNibble != 0x6)
            return false;
        for (std::size_t at = object->referencesOffset; at < object->referencesOffset + object->payloadBytes; at += 2) {
            if (bytes_[at] == 0 && bytes_[at + 1] == 0)
                return false;
        }
        return true;
    }

    // Iterative depth-first walk over the object graph with memoised subtree sizes, so shared
    // references are examined once but counted as often as they are referenced.
    bool walk(std::size_t root) {
        enum : std::uint8_t { unvisited, active, finished };
        std::vector<std::uint8_t> state(objectCount_, unvisited);
        std::vector<std::uint64_t> nodes(objectCount_, 0);
        std::vector<std::uint64_t> payload(objectCount_, 0);
        std::vector<std::uint32_t> height(objectCount_, 0);

        struct Frame {
            std::size_t index;
            ObjectLayout object;
            std::uint64_t nextChild = 0;
        };
        std::vector<Frame> stack;

        const auto enter = [&](std::size_t index) -> bool {
            if (stack.size() >= limits_.maximumDepth)
                return false;
            auto object = layout(index);
            if (!object)
                return false;
            state[index] = active;
            nodes[index] = 1;
            payload[index] = object->payloadBytes;
            height[index] = 1;
            stack.push_back(Frame{index, *object});
            return true;
        };

        if (!enter(root))
            return false;
        while (!stack.empty()) {
            Frame& frame = stack.back();
            if (frame.nextChild == frame.object.childCount) {
                const std::size_t done = frame.index;
                state[done] = finished;
                stack.pop_back();
                if (nodes[done] > limits_.maximumObjects || payload[done] > limits_.maximumPayloadBytes)
                    return false;
                if (!stack.empty()) {
                    const std::size_t parent = stack.back().index;
                    nodes[parent] = saturatingAdd(nodes[parent], nodes[done]);
                    payload[parent] = saturatingAdd(payload[parent], payload[done]);
                    height[parent] = std::max(height[parent], height[done] + 1);
                }
                continue;
            }
            const std::uint64_t position = frame.nextChild++;
            const std::uint64_t child =
                readBigEndian(bytes_, frame.object.referencesOffset + position * referenceSize_, referenceSize_);
            if (child >= objectCount_)
                return false;
            const auto childIndex = static_cast<std::size_t>(child);
            const bool isKey = frame.object.isDictionary && position < frame.object.childCount / 2;
            if (isKey && !isAcceptableKey(childIndex))
                return false;
            if (state[childIndex] == active)
                return false;  // cycle
            if (state[childIndex] == finished) {
                const std::size_t parent = frame.index;
                nodes[parent] = saturatingAdd(nodes[parent], nodes[childIndex]);
                payload[parent] = saturatingAdd(payload[parent], payload[childIndex]);
                height[parent] = std::max(height[parent], height[childIndex] + 1);
                if (height[parent] > limits_.maximumDepth || nodes[parent] > limits_.maximumObjects ||
                    payload[parent] > limits_.maximumPayloadBytes) {
                    return false;
                }
                continue;
            }
            if (!enter(childIndex))
                return false;
        }
        return height[root] <= limits_.maximumDepth;
    }

    std::span<const std::uint8_t> bytes_;
    const PropertyListLimits& limits_;
    std::size_t offsetSize_ = 0;
    std::size_t referenceSize_ = 0;
    std::size_t objectCount_ = 0;
    std::size_t offsetTable_ = 0;
    std::size_t objectsEnd_ = 0;
    std::vector<std::int8_t> keyVerdicts_;
};

}  // namespace

bool PropertyListBinaryValidator::isAcceptable(std::span<const std::uint8_t> bytes, const PropertyListLimits& limits) {
    return Checker(bytes, limits).run();
}

}  // namespace velunto
