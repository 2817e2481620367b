// Cost of persisting a 64 KiB user-defaults database atomically (encode, write a temporary file,
// fsync, rename, fsync the directory), and of encoding and decoding the same value.
//
// The database lives in a fresh directory below the current working directory (run it from the
// build directory) or below $VELUNTO_BENCH_DIR. Use a directory on a real disk, not tmpfs: the
// point is the fsync cost.

#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/UserDefaults.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

using velunto::Data;
using velunto::PropertyListSerialization;
using velunto::PropertyListValue;
using velunto::UserDefaults;

constexpr std::size_t payloadBytes = 64 * 1024;

class BenchDirectory {
public:
    BenchDirectory() {
        const char* configured = std::getenv("VELUNTO_BENCH_DIR");
        const std::filesystem::path base = configured != nullptr ? configured : std::filesystem::current_path();
        path_ = base / ("velunto-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(path_);
    }
    ~BenchDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    BenchDirectory(const BenchDirectory&) = delete;
    BenchDirectory& operator=(const BenchDirectory&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

PropertyListValue dataValue(std::uint8_t fill) {
    return PropertyListValue(Data(payloadBytes, fill));
}

// About 820 distinct string entries of 64 bytes each (key and value), which encode to a 64 KiB
// file with the object table. Values must differ: the encoder stores equal strings once.
PropertyListValue dictionaryValue(char fill) {
    PropertyListValue::Dictionary entries;
    for (std::size_t i = 0; entries.size() * 80 < payloadBytes; ++i) {
        char key[24];
        std::snprintf(key, sizeof key, "entry.%06zu", i);
        std::string value(64 - std::string(key).size(), fill);
        value.replace(0, 6, key + 6);
        entries.emplace(key, std::move(value));
    }
    return PropertyListValue(std::move(entries));
}

void reportSize(benchmark::State& state, const PropertyListValue& value) {
    const auto encoded = PropertyListSerialization::binaryData(value).size();
    state.counters["file_bytes"] = static_cast<double>(encoded);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded));
}

void persistDataValue(benchmark::State& state) {
    BenchDirectory directory;
    const auto defaults = UserDefaults::persistent("app.velunto.bench", directory.path());
    const PropertyListValue values[] = {dataValue(0x11), dataValue(0x22)};
    std::size_t next = 0;
    for (auto _ : state) {
        defaults->set("app.velunto.pluginState", values[next]);
        next ^= 1;
    }
    reportSize(state, PropertyListValue(PropertyListValue::Dictionary{{"app.velunto.pluginState", values[0]}}));
}
BENCHMARK(persistDataValue)->Unit(benchmark::kMicrosecond)->UseRealTime();

void persistDictionaryValue(benchmark::State& state) {
    BenchDirectory directory;
    const auto defaults = UserDefaults::persistent("app.velunto.bench", directory.path());
    const PropertyListValue values[] = {dictionaryValue('a'), dictionaryValue('b')};
    std::size_t next = 0;
    for (auto _ : state) {
        defaults->set("app.velunto.eqSettingsByDevice", values[next]);
        next ^= 1;
    }
    reportSize(state, PropertyListValue(PropertyListValue::Dictionary{{"app.velunto.eqSettingsByDevice", values[0]}}));
}
BENCHMARK(persistDictionaryValue)->Unit(benchmark::kMicrosecond)->UseRealTime();

void encodeDataValue(benchmark::State& state) {
    const PropertyListValue value = dataValue(0x33);
    for (auto _ : state)
        benchmark::DoNotOptimize(PropertyListSerialization::binaryData(value));
    reportSize(state, value);
}
BENCHMARK(encodeDataValue)->Unit(benchmark::kMicrosecond);

void decodeDataValue(benchmark::State& state) {
    const PropertyListValue value = dataValue(0x33);
    const Data bytes = PropertyListSerialization::binaryData(value);
    for (auto _ : state)
        benchmark::DoNotOptimize(PropertyListSerialization::propertyList(bytes));
    reportSize(state, value);
}
BENCHMARK(decodeDataValue)->Unit(benchmark::kMicrosecond);

void encodeDictionaryValue(benchmark::State& state) {
    const PropertyListValue value = dictionaryValue('c');
    for (auto _ : state)
        benchmark::DoNotOptimize(PropertyListSerialization::binaryData(value));
    reportSize(state, value);
}
BENCHMARK(encodeDictionaryValue)->Unit(benchmark::kMicrosecond);

// How encoding time grows with the number of entries.
void encodeEntries(benchmark::State& state) {
    PropertyListValue::Dictionary entries;
    for (std::int64_t i = 0; i < state.range(0); ++i)
        entries.emplace("key." + std::to_string(i), i);
    const PropertyListValue value(std::move(entries));
    for (auto _ : state)
        benchmark::DoNotOptimize(PropertyListSerialization::binaryData(value));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(encodeEntries)->RangeMultiplier(4)->Range(256, 16384)->Unit(benchmark::kMicrosecond)->Complexity();

void decodeDictionaryValue(benchmark::State& state) {
    const PropertyListValue value = dictionaryValue('c');
    const Data bytes = PropertyListSerialization::binaryData(value);
    for (auto _ : state)
        benchmark::DoNotOptimize(PropertyListSerialization::propertyList(bytes));
    reportSize(state, value);
}
BENCHMARK(decodeDictionaryValue)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
