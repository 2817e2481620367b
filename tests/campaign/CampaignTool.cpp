// Runs the simulation campaign over a range of seeds and prints every failing seed with its broken
// promise; a failing seed replays exactly with --seeds N-N --trace.
//
//   velunto_campaign [--seeds A-B] [--minutes M] [--trace]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/campaign/SimulationCampaign.h"

int main(int argc, char** argv) {
    using velunto::SimulationCampaign;
    std::uint64_t first = 1, last = 10;
    double minutes = 10;
    bool trace = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--seeds" && i + 1 < argc) {
            const std::string range = argv[++i];
            const auto dash = range.find('-');
            first = std::strtoull(range.c_str(), nullptr, 10);
            last = dash == std::string::npos ? first : std::strtoull(range.c_str() + dash + 1, nullptr, 10);
        } else if (argument == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
        } else if (argument == "--trace") {
            trace = true;
        } else {
            std::fprintf(stderr, "Aufruf: velunto_campaign [--seeds A-B] [--minutes M] [--trace]\n");
            return 2;
        }
    }
    std::uint64_t failed = 0, steps = 0, faults = 0, launches = 0, callbacks = 0, samples = 0;
    double virtualSeconds = 0;
    const auto started = std::chrono::steady_clock::now();
    for (std::uint64_t seed = first; seed <= last; ++seed) {
        SimulationCampaign::Options options;
        options.seed = seed;
        options.duration = std::chrono::seconds(static_cast<long long>(minutes * 60));
        options.driverBundle = VELUNTO_MIC_DRIVER_BUNDLE;
        options.traceSteps = trace;
        const auto result = SimulationCampaign::run(options);
        steps += result.steps;
        faults += result.faults;
        launches += result.launches;
        callbacks += result.realTimeCallbacks;
        samples += result.micSamplesChecked;
        virtualSeconds += result.virtualSeconds;
        if (!result.passed) {
            ++failed;
            std::printf("Seed %llu FEHLER: %s\n", static_cast<unsigned long long>(seed), result.failure.c_str());
        } else {
            std::printf("Seed %llu ok: %.0f s, %llu Schritte, %llu Fehler eingespielt, Spur %016llx\n",
                        static_cast<unsigned long long>(seed), result.virtualSeconds,
                        static_cast<unsigned long long>(result.steps), static_cast<unsigned long long>(result.faults),
                        static_cast<unsigned long long>(result.traceHash));
        }
        std::fflush(stdout);
    }
    const double real = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf(
        "%llu Seeds, %llu fehlgeschlagen; %.1f virtuelle Stunden in %.0f s; %llu Schritte, %llu Fehler, "
        "%llu Starts, %llu Echtzeit-Rückrufe, %llu Mikrofonproben geprüft\n",
        static_cast<unsigned long long>(last - first + 1), static_cast<unsigned long long>(failed),
        virtualSeconds / 3600, real, static_cast<unsigned long long>(steps), static_cast<unsigned long long>(faults),
        static_cast<unsigned long long>(launches), static_cast<unsigned long long>(callbacks),
        static_cast<unsigned long long>(samples));
    return failed == 0 ? 0 : 1;
}
