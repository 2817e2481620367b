// The property-list reader fed arbitrary bytes, binary and XML. Whatever it decodes must re-serialise: the binary
// encoder accepts it (the decoder and encoder share their limits), the result decodes to the same value up to the
// encoder's documented losses, and a second round trip loses nothing more. (The bytes themselves may differ
// between equal values: libplist shares equal data objects depending on where they lie in memory.)
#include "platform/foundation/PropertyListBinaryValidator.h"
#include "platform/foundation/PropertyListSerialization.h"

#include "tests/platform/foundation/fuzz/PropertyListRoundTrip.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "property-list fuzz check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace velunto;
    const Data bytes(data, data + size);
    const auto decoded = PropertyListSerialization::propertyList(bytes);
    if (!decoded)
        return 0;

    Data encoded;
    try {
        encoded = PropertyListSerialization::binaryData(*decoded);
    } catch (const std::length_error&) {
        // Only strings may be counted larger by the encoder (at their UTF-16 size) than the decoder counted them.
        require(!PropertyListSerialization::isWithinLimits(*decoded), "the encoder refused a value within the limits");
        return 0;
    }
    require(PropertyListBinaryValidator::isAcceptable(encoded, PropertyListSerialization::limits),
            "the validator refuses what the encoder wrote");
    const auto restored = PropertyListSerialization::propertyList(encoded);
    require(restored.has_value(), "what the encoder wrote does not decode");
    require(fuzzing::isFaithfulRoundTrip(*decoded, *restored), "a binary round trip changed the value");

    // What came back is plain text and in range, so another round trip may only lose a date's microsecond.
    const Data reencoded = PropertyListSerialization::binaryData(*restored);
    const auto again = PropertyListSerialization::propertyList(reencoded);
    require(again && fuzzing::isFaithfulRoundTrip(*restored, *again), "a second round trip changed the value");
    return 0;
}
