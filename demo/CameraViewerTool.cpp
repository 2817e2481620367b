// Watches "Velunto Kamera" like a video call app: opens its source stream in one of its formats,
// prints the frame rate every second and saves a frame as PNG.
//
//   velunto-camera-viewer [--format 0|1] [--seconds N] [--png file.png [--png-at S]] [--stamps]
//
// With --stamps it reads the capture time a simulated camera burns into each frame and prints how
// long after capture the frames arrived.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "demo/CameraViewer.h"
#include "demo/TestPattern.h"
#include "platform/dispatch/HostClock.h"
#include "platform/sim/SimulatedCameraPattern.h"

using namespace velunto;

int main(int argc, char** argv) {
    std::size_t format = 0;
    int seconds = 5;
    double pngAt = -1;
    std::string png;
    bool stamps = false;
    for (int i = 1; i < argc; ++i) {
        const auto value = [&] { return ++i < argc ? argv[i] : ""; };
        if (std::strcmp(argv[i], "--stamps") == 0)
            stamps = true;
        else if (std::strcmp(argv[i], "--format") == 0)
            format = static_cast<std::size_t>(std::atoi(value()));
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(value());
        else if (std::strcmp(argv[i], "--png") == 0)
            png = value();
        else if (std::strcmp(argv[i], "--png-at") == 0)
            pngAt = std::atof(value());
    }
    if (pngAt < 0)
        pngAt = seconds;
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    CameraViewer viewer;
    std::mutex delaysMutex;
    std::vector<double> delays;  // ms from capture to arrival
    if (stamps)
        viewer.setFrameHandler([&](const CVPixelBuffer& frame) {
            const std::uint64_t now = HostClock::nowNanoseconds();
            if (const auto stamp = SimulatedCameraPattern::read(frame); stamp && stamp->captureHostNanoseconds <= now) {
                std::lock_guard lock(delaysMutex);
                delays.push_back(static_cast<double>(now - stamp->captureHostNanoseconds) / 1e6);
            }
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

    bool saved = false;
    std::size_t seen = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int second = 1; second <= seconds; ++second) {
        while (std::chrono::steady_clock::now() < start + std::chrono::seconds(second)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
            if (!png.empty() && !saved && elapsed.count() >= pngAt)
                if (const auto frame = viewer.lastFrame()) {
                    saved = CameraViewer::savePNG(*frame, png);
                    std::printf(saved ? "Bild gespeichert: %s\n" : "Bild nicht gespeichert: %s\n", png.c_str());
                }
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
    if (!png.empty() && !saved)
        if (const auto frame = viewer.lastFrame()) {
            saved = CameraViewer::savePNG(*frame, png);
            std::printf(saved ? "Bild gespeichert: %s\n" : "Bild nicht gespeichert: %s\n", png.c_str());
        }
    viewer.close();
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
    return png.empty() || saved ? 0 : 1;
}
