// Watches "Velunto Kamera" like a video call app: opens its source stream in one of its formats,
// prints the frame rate every second and saves a frame as PNG.
//
//   velunto-camera-viewer [--format 0|1] [--seconds N] [--png file.png [--png-at S]]... [--stamps]
//                         [--flashes file.txt [--flash-png file.png]] [--summary file.json]
//
// With --stamps it reads the capture time a simulated camera burns into each frame and prints how
// long after capture the frames arrived. With --flashes it writes one line per flash frame of a
// simulated camera: when it arrived and when it was captured, both host clock nanoseconds; the
// first flash frame can be saved as PNG. --summary writes the frame counts as JSON.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "demo/CameraViewer.h"
#include "demo/TestPattern.h"
#include "platform/dispatch/HostClock.h"
#include "platform/sim/SimulatedCameraPattern.h"

using namespace velunto;

int main(int argc, char** argv) {
    std::size_t format = 0;
    int seconds = 5;
    struct Shot {
        std::string path;
        double at = -1;  // seconds after opening; -1: at the end
        bool tried = false;
        bool saved = false;
    };
    std::vector<Shot> shots;
    bool stamps = false;
    std::string flashesPath;
    std::string flashPNG;
    std::string summaryPath;
    for (int i = 1; i < argc; ++i) {
        const auto value = [&] { return ++i < argc ? argv[i] : ""; };
        if (std::strcmp(argv[i], "--stamps") == 0)
            stamps = true;
        else if (std::strcmp(argv[i], "--format") == 0)
            format = static_cast<std::size_t>(std::atoi(value()));
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(value());
        else if (std::strcmp(argv[i], "--png") == 0)
            shots.push_back({value()});
        else if (std::strcmp(argv[i], "--png-at") == 0 && !shots.empty())
            shots.back().at = std::atof(value());
        else if (std::strcmp(argv[i], "--flashes") == 0)
            flashesPath = value();
        else if (std::strcmp(argv[i], "--flash-png") == 0)
            flashPNG = value();
        else if (std::strcmp(argv[i], "--summary") == 0)
            summaryPath = value();
    }
    for (Shot& shot : shots)
        if (shot.at < 0)
            shot.at = seconds;
    CameraViewer viewer;
    const auto takeShots = [&](double elapsed) {
        for (Shot& shot : shots)
            if (!shot.tried && elapsed >= shot.at)
                if (const auto frame = viewer.lastFrame()) {
                    shot.tried = true;
                    shot.saved = CameraViewer::savePNG(*frame, shot.path);
                    std::printf(shot.saved ? "Bild gespeichert: %s\n" : "Bild nicht gespeichert: %s\n",
                                shot.path.c_str());
                }
    };
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    std::mutex delaysMutex;
    std::vector<double> delays;  // ms from capture to arrival
    std::ofstream flashes;
    if (!flashesPath.empty()) {
        flashes.open(flashesPath, std::ios::trunc);
        if (!flashes) {
            std::fprintf(stderr, "%s kann nicht geschrieben werden.\n", flashesPath.c_str());
            return 1;
        }
    }
    std::uint64_t lastFlashCapture = 0;
    if (stamps || flashes.is_open())
        viewer.setFrameHandler([&](const CVPixelBuffer& frame) {
            const std::uint64_t now = HostClock::nowNanoseconds();
            const auto stamp = SimulatedCameraPattern::read(frame);
            if (!stamp || stamp->captureHostNanoseconds > now)
                return;
            std::lock_guard lock(delaysMutex);
            delays.push_back(static_cast<double>(now - stamp->captureHostNanoseconds) / 1e6);
            if (!stamp->flash || !flashes.is_open() || stamp->captureHostNanoseconds == lastFlashCapture)
                return;
            flashes << now << ' ' << stamp->captureHostNanoseconds << std::endl;
            if (lastFlashCapture == 0 && !flashPNG.empty() && !CameraViewer::savePNG(frame, flashPNG))
                std::fprintf(stderr, "Bild nicht gespeichert: %s\n", flashPNG.c_str());
            lastFlashCapture = stamp->captureHostNanoseconds;
        });
    OSStatus status = kCMIOHardwareBadDeviceError;
    // The camera's process may still be starting.
    for (int attempt = 0; attempt < 50 && status == kCMIOHardwareBadDeviceError; ++attempt) {
        status = viewer.open("Velunto Kamera", format);
        if (status == kCMIOHardwareBadDeviceError)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (status != 0) {
        std::fprintf(stderr, "Velunto Kamera lässt sich nicht öffnen (Status %d).\n", status);
        return 1;
    }
    const auto offered = viewer.formats();
    std::printf("Velunto Kamera geöffnet: Format %zu, %d × %d.\n", format, offered.at(format).width,
                offered.at(format).height);

    std::size_t seen = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int second = 1; second <= seconds; ++second) {
        while (std::chrono::steady_clock::now() < start + std::chrono::seconds(second)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            takeShots(elapsed.count());
        }
        const auto frames = viewer.frames();
        const auto last = viewer.lastFrame();
        std::size_t fed = 0;
        for (std::size_t i = seen; i < frames.size(); ++i)
            fed += frames[i].centre != 0xFF000000u ? 1 : 0;
        std::printf("Sekunde %d: %zu Bilder/s (%zu eingespeist, %zu schwarz)%s\n", second, frames.size() - seen, fed,
                    frames.size() - seen - fed,
                    last && TestPattern::isWhole(*last) ? ", letztes Bild vollständig" : "");
        seen = frames.size();
    }
    takeShots(seconds);
    viewer.close();
    if (!summaryPath.empty()) {
        const auto frames = viewer.frames();
        const auto fed = static_cast<std::size_t>(std::count_if(
            frames.begin(), frames.end(), [](const CameraViewer::Frame& f) { return f.centre != 0xFF000000u; }));
        std::ofstream summary(summaryPath, std::ios::trunc);
        summary << nlohmann::json{{"frames", frames.size()}, {"fed", fed}, {"black", frames.size() - fed}}.dump()
                << '\n';
        if (!summary) {
            std::fprintf(stderr, "%s kann nicht geschrieben werden.\n", summaryPath.c_str());
            return 1;
        }
    }
    if (stamps) {
        std::lock_guard lock(delaysMutex);
        std::sort(delays.begin(), delays.end());
        if (delays.empty()) {
            std::printf("Keine Kamerabilder mit Zeitstempel.\n");
        } else {
            const auto at = [&](double p) {
                return delays[std::min(delays.size() - 1,
                                       static_cast<std::size_t>(p * static_cast<double>(delays.size())))];
            };
            std::printf(
                "Verzögerung ab Aufnahme: Minimum %.1f ms, Median %.1f ms, 99. Perzentil %.1f ms (%zu Bilder)\n",
                delays.front(), at(0.5), at(0.99), delays.size());
        }
    }
    return std::all_of(shots.begin(), shots.end(), [](const Shot& shot) { return shot.saved; }) ? 0 : 1;
}
