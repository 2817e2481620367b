#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velunto {

// Assembles binary property lists object by object, including malformed ones, for decoder tests.
class BinaryPlistBuilder {
public:
    using Bytes = std::vector<std::uint8_t>;

    explicit BinaryPlistBuilder(unsigned referenceSize = 4, unsigned offsetSize = 4)
        : referenceSize_(referenceSize), offsetSize_(offsetSize) {}

    // Appends raw object bytes; returns the object's index.
    std::uint64_t add(const Bytes& object) {
        objects_.push_back(object);
        return objects_.size() - 1;
    }
    // Reserves an index whose bytes are given later (for references to objects not yet built).
    std::uint64_t reserve() { return add({}); }
    void replace(std::uint64_t index, const Bytes& object) { objects_[index] = object; }

    static Bytes boolean(bool value) { return {static_cast<std::uint8_t>(value ? 0x09 : 0x08)}; }
    static Bytes null() { return {0x00}; }
    static Bytes integer(std::int64_t value) {
        Bytes bytes{0x13};
        appendBigEndian(bytes, static_cast<std::uint64_t>(value), 8);
        return bytes;
    }
    static Bytes uid(std::uint8_t value) { return {0x80, value}; }
    static Bytes ascii(const std::string& text) {
        Bytes bytes = header(0x5, text.size());
        bytes.insert(bytes.end(), text.begin(), text.end());
        return bytes;
    }
    Bytes array(const std::vector<std::uint64_t>& references) const {
        Bytes bytes = header(0xA, references.size());
        for (const std::uint64_t reference : references)
            appendBigEndian(bytes, reference, referenceSize_);
        return bytes;
    }
    Bytes dictionary(const std::vector<std::uint64_t>& keys, const std::vector<std::uint64_t>& values) const {
        Bytes bytes = header(0xD, keys.size());
        for (const std::uint64_t key : keys)
            appendBigEndian(bytes, key, referenceSize_);
        for (const std::uint64_t value : values)
            appendBigEndian(bytes, value, referenceSize_);
        return bytes;
    }

    struct Trailer {
        std::uint64_t objectCount;
        std::uint64_t root;
        std::uint64_t offsetTableOffset;
    };

    // The complete file; `adjust` may falsify trailer fields.
    template <class Adjust>
    Bytes build(std::uint64_t root, Adjust adjust) const {
        Bytes bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<std::uint64_t> offsets;
        for (const Bytes& object : objects_) {
            offsets.push_back(bytes.size());
            bytes.insert(bytes.end(), object.begin(), object.end());
        }
        Trailer trailer{objects_.size(), root, bytes.size()};
        for (const std::uint64_t offset : offsets)
            appendBigEndian(bytes, offset, offsetSize_);
        adjust(trailer);
        bytes.insert(bytes.end(), 6, 0);
        bytes.push_back(static_cast<std::uint8_t>(offsetSize_));
        bytes.push_back(static_cast<std::uint8_t>(referenceSize_));
        appendBigEndian(bytes, trailer.objectCount, 8);
        appendBigEndian(bytes, trailer.root, 8);
        appendBigEndian(bytes, trailer.offsetTableOffset, 8);
        return bytes;
    }
    Bytes build(std::uint64_t root = 0) const {
        return build(root, [](Trailer&) {});
    }

    static void appendBigEndian(Bytes& bytes, std::uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;)
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }

private:
    static Bytes header(std::uint8_t type, std::uint64_t count) {
        Bytes bytes;
        if (count < 15) {
            bytes.push_back(static_cast<std::uint8_t>((type << 4) | count));
        } else {
            bytes.push_back(static_cast<std::uint8_t>((type << 4) | 0x0F));
            bytes.push_back(0x13);
            appendBigEndian(bytes, count, 8);
        }
        return bytes;
    }

    unsigned referenceSize_;
    unsigned offsetSize_;
    std::vector<Bytes> objects_;
};

}  // namespace velunto
