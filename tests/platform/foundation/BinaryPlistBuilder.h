#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace velunto {

// Assembles binary property lists object by object, including malformed ones, for decoder tests.
// References and offsets are 4 bytes wide; counts must be below 15.
class BinaryPlistBuilder {
public:
    using Bytes = std::vector<std::uint8_t>;
    struct Trailer {
        std::uint64_t objectCount;
        std::uint64_t root;
        std::uint64_t offsetTableOffset;
    };

    // Appends raw object bytes; returns the object's index. References may point to later indices.
    std::uint64_t add(const Bytes& object) {
        objects_.push_back(object);
        return objects_.size() - 1;
    }

    static Bytes ascii(const std::string& text) {
        Bytes bytes{static_cast<std::uint8_t>(0x50 | text.size())};
        bytes.insert(bytes.end(), text.begin(), text.end());
        return bytes;
    }
    static Bytes array(const std::vector<std::uint64_t>& references) {
        Bytes bytes{static_cast<std::uint8_t>(0xA0 | references.size())};
        for (const std::uint64_t reference : references)
            appendBigEndian(bytes, reference, 4);
        return bytes;
    }
    static Bytes dictionary(std::uint64_t key, std::uint64_t value) {
        Bytes bytes{0xD1};
        appendBigEndian(bytes, key, 4);
        appendBigEndian(bytes, value, 4);
        return bytes;
    }

    // Objects 0 .. length-1, each an array referring `fanout` times to the next; the last is empty.
    static BinaryPlistBuilder chain(std::uint64_t length, std::size_t fanout) {
        BinaryPlistBuilder builder;
        for (std::uint64_t i = 1; i < length; ++i)
            builder.add(array(std::vector<std::uint64_t>(fanout, i)));
        builder.add(array({}));
        return builder;
    }

    // The complete file; `adjust` may falsify trailer fields.
    Bytes build(std::uint64_t root = 0, const std::function<void(Trailer&)>& adjust = {}) const {
        Bytes bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        Bytes offsetTable;
        for (const Bytes& object : objects_) {
            appendBigEndian(offsetTable, bytes.size(), 4);
            bytes.insert(bytes.end(), object.begin(), object.end());
        }
        Trailer trailer{objects_.size(), root, bytes.size()};
        if (adjust)
            adjust(trailer);
        bytes.insert(bytes.end(), offsetTable.begin(), offsetTable.end());
        bytes.insert(bytes.end(), {0, 0, 0, 0, 0, 0, 4, 4});
        for (const std::uint64_t field : {trailer.objectCount, trailer.root, trailer.offsetTableOffset})
            appendBigEndian(bytes, field, 8);
        return bytes;
    }

    static void appendBigEndian(Bytes& bytes, std::uint64_t value, unsigned size) {
        for (unsigned i = size; i-- > 0;)
            bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }

private:
    std::vector<Bytes> objects_;
};

}  // namespace velunto
