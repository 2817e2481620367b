#pragma once

#include <cstddef>
#include <cstdint>

namespace velunto {

// Bounds on what the property-list decoder accepts and the encoder produces. They protect against
// hostile input: deep nesting overflows libplist's recursive parser, and shared references in a
// binary plist can expand a small file into an enormous tree.
struct PropertyListLimits {
    // Nodes on the longest path from the root to a leaf, both included (a lone scalar has depth 1).
    std::size_t maximumDepth = 256;
    // Nodes after expanding shared references; dictionary keys count as nodes.
    std::uint64_t maximumObjects = std::uint64_t{1} << 20;
    // String and data bytes after expanding shared references.
    std::uint64_t maximumPayloadBytes = std::uint64_t{256} << 20;
};

}  // namespace velunto
