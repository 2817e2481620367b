// Feeds the driver fuzzer-chosen object IDs, selectors, scopes, buffer sizes, qualifiers and sample times.
// Buffers are allocated at exactly the size passed, so an out-of-bounds access shows up under AddressSanitizer.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "mic-driver/VeluntoMicDriver.h"

namespace {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return size_ == 0; }
    template <class T>
    T take() {
        T value{};
        const size_t n = size_ < sizeof value ? size_ : sizeof value;
        std::memcpy(&value, data_, n);
        data_ += n;
        size_ -= n;
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
};

const AudioObjectPropertySelector kSelectors[] = {
    'bcls', 'clas', 'stdv', 'lnam', 'lmak', 'ownd', 'ctrl', 'dev#', 'uidd', 'box#', 'rsrc', 'uid ', 'muid',
    'tran', 'akin', 'clkd', 'livn', 'goin', 'dflt', 'sflt', 'ltnc', 'saft', 'stm#', 'nsrt', 'nsr#', 'hidn',
    'dch2', 'ring', 'cstb', 'sact', 'sdir', 'term', 'schn', 'sfmt', 'sfma', 'pft ', 'pfta', 'slay', 'fsiz'};
const AudioObjectPropertyScope kScopes[] = {'glob', 'inpt', 'outp', 'ptru', '****'};
const UInt32 kOperations[] = {'read', 'rite', 'thrd', 'cycl', 'cinp', 'mixo'};

AudioServerPlugInDriverRef driver() {
    static AudioServerPlugInDriverRef ref = [] {
        auto created = static_cast<AudioServerPlugInDriverRef>(VeluntoMic_Create(nullptr, kAudioServerPlugInTypeUUID));
        if (!created || (*created)->Initialize(created, nullptr) != 0)
            std::abort();
        return created;
    }();
    return ref;
}

Float64 sampleTime(Input& in) {
    static const Float64 special[] = {0,
                                      -1,
                                      16383,
                                      16384,
                                      1e300,
                                      -1e300,
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      std::numeric_limits<double>::quiet_NaN(),
                                      9223372036854775808.0,
                                      9223372036854774784.0,
                                      -9223372036854775808.0};
    const uint8_t how = in.take<uint8_t>();
    if (how < 96)
        return special[how % (sizeof special / sizeof special[0])];
    if (how < 192)
        return static_cast<Float64>(in.take<int32_t>());
    return in.take<Float64>();
}

void propertyCall(Input& in, bool data) {
    const auto ref = driver();
    const uint8_t objectChoice = in.take<uint8_t>();
    const AudioObjectID object = objectChoice < 240 ? objectChoice % 8 : in.take<UInt32>();
    const uint8_t selectorChoice = in.take<uint8_t>();
    const AudioObjectPropertySelector selector =
        selectorChoice < 240 ? kSelectors[selectorChoice % (sizeof kSelectors / 4)] : in.take<UInt32>();
    const uint8_t scopeChoice = in.take<uint8_t>();
    const AudioObjectPropertyScope scope = scopeChoice < 250 ? kScopes[scopeChoice % 5] : in.take<UInt32>();
    const AudioObjectPropertyAddress where{selector, scope, in.take<uint8_t>()};
    // The qualifier: none, a valid string reference (or null) at a chosen size, or raw bytes.
    static const CFStringRef strings[] = {nullptr, CFSTR("app.velunto.mic"), CFSTR("app.velunto.mic.feed"), CFSTR("")};
    const uint8_t qualifierChoice = in.take<uint8_t>();
    CFStringRef string = strings[qualifierChoice % 4];
    UInt32 qualifierSize = (qualifierChoice >> 2) % 3 == 0 ? 8 : (qualifierChoice >> 4);
    const void* qualifier = (qualifierChoice >> 2) % 5 == 4 ? nullptr : &string;
    if (qualifierSize > sizeof string && qualifier)
        qualifierSize = sizeof string;  // the driver reads exactly one reference or nothing
    const UInt32 capacity = in.take<uint8_t>() % 72;
    std::vector<unsigned char> value(capacity);
    UInt32 size = 0xDEAD;
    Boolean flag = 0;
    if (!data) {
        (*ref)->HasProperty(ref, object, 0, &where);
        (*ref)->IsPropertySettable(ref, object, 0, &where, &flag);
        (*ref)->GetPropertyDataSize(ref, object, 0, &where, qualifierSize, qualifier, &size);
        return;
    }
    // A unique, exactly sized allocation: a zero capacity still gets a valid pointer.
    auto* out = static_cast<unsigned char*>(std::malloc(capacity ? capacity : 1));
    const OSStatus status =
        (*ref)->GetPropertyData(ref, object, 0, &where, qualifierSize, qualifier, capacity, &size, out);
    if (status == 0 && size > capacity)
        std::abort();
    std::free(out);
    // Setting: at most 48 bytes of fuzzer data as the value, at a chosen size no larger than that.
    unsigned char setData[48];
    for (auto& byte : setData)
        byte = in.take<uint8_t>();
    (*ref)->SetPropertyData(ref, object, 0, &where, 0, nullptr, in.take<uint8_t>() % 49, setData);
}

void ioCall(Input& in) {
    const auto ref = driver();
    const AudioObjectID device = in.take<uint8_t>() % 7;
    const UInt32 operation = kOperations[in.take<uint8_t>() % 6];
    const UInt32 frames = in.take<uint16_t>() % 20000;  // past the ring length too
    AudioServerPlugInIOCycleInfo cycle{};
    cycle.mInputTime.mSampleTime = sampleTime(in);
    cycle.mOutputTime.mSampleTime = sampleTime(in);
    std::vector<float> buffer(static_cast<size_t>(frames) * 2 + 1, 0.5f);  // + 1: never empty
    (*ref)->DoIOOperation(ref, device, device + 1, 0, operation, frames, &cycle, buffer.data(), nullptr);
    if (device == kVeluntoMicDeviceID && operation == 'read')
        for (UInt32 i = 0; i < frames; ++i)
            if (buffer[2 * i] != buffer[2 * i + 1] && !(std::isnan(buffer[2 * i]) && std::isnan(buffer[2 * i + 1])))
                std::abort();  // every frame written here has equal channels
    Float64 zero = 0;
    UInt64 host = 0, seed = 0;
    if ((*ref)->GetZeroTimeStamp(ref, device, 0, &zero, &host, &seed) == 0 &&
        (seed != 1 || std::fmod(zero, 16384.0) != 0))
        std::abort();
    Boolean willDo, inPlace;
    (*ref)->WillDoIOOperation(ref, device, 0, operation, &willDo, &inPlace);
    if (in.take<uint8_t>() & 1)
        (*ref)->StartIO(ref, device, 0);
    else
        (*ref)->StopIO(ref, device, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        switch (in.take<uint8_t>() % 3) {
            case 0:
                propertyCall(in, false);
                break;
            case 1:
                propertyCall(in, true);
                break;
            default:
                ioCall(in);
                break;
        }
    }
    return 0;
}
