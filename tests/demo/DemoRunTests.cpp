#include <gtest/gtest.h>

#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <sndfile.h>
#include <nlohmann/json.hpp>

namespace {

namespace fs = std::filesystem;

struct DemoRun {
    int status = -1;
    std::string output;
};

// The demo as a user starts it, without a display.
DemoRun runDemo(const std::string& arguments) {
    const fs::path log = fs::temp_directory_path() / ("velunto-demo-run-" + std::to_string(getpid()) + ".txt");
    const std::string command =
        "env -u DISPLAY -u WAYLAND_DISPLAY " VELUNTO_DEMO " " + arguments + " >" + log.string() + " 2>&1";
    DemoRun run;
    const int status = std::system(command.c_str());
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::stringstream text;
    text << std::ifstream(log).rdbuf();
    run.output = text.str();
    fs::remove(log);
    return run;
}

// Eight seconds: two without a viewer, then the video app watching; clicks at 2, 4 and 6 s.
TEST(Demo, VoiceAndPictureArriveInStepAndTheLatencyShownIsTheLatencyMeasured) {
    const fs::path out = fs::temp_directory_path() / ("velunto-demo-out-" + std::to_string(getpid()));
    fs::remove_all(out);
    const DemoRun run = runDemo("--seconds 8 --out " + out.string() + " --driver " VELUNTO_MIC_DRIVER_BUNDLE);
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Velunto-Demo, 8 s auf simulierter Hardware"), std::string::npos) << run.output;

    nlohmann::json report;
    std::ifstream(out / "report.json") >> report;
    std::printf("%s\n", report.dump(2).c_str());
    ASSERT_TRUE(report["latency_ms_computed"].is_number());
    ASSERT_TRUE(report["latency_ms_measured"].is_number());
    ASSERT_TRUE(report["av_offset_ms"].is_number());
    const double computed = report["latency_ms_computed"];
    EXPECT_NEAR(report["latency_ms_measured"].get<double>(), computed, 5.0);
#ifdef VELUNTO_SANITIZED
    constexpr double kAVTolerance = 100.0;  // every frame's conversion runs several times slower
#else
    constexpr double kAVTolerance = 20.0;
#endif
    EXPECT_NEAR(report["av_offset_ms"].get<double>(), 0.0, kAVTolerance);
    EXPECT_DOUBLE_EQ(report["video_delay_ms"].get<double>(), computed)
        << "offset 0: the picture waits as long as the sound";
    // 44.1 kHz microphone (10 ms + 128 frames), 10 ms delay effect, 20 ms fill, the feed device.
    EXPECT_GT(computed, 40.0);
    EXPECT_LT(computed, 80.0);
    EXPECT_GE(report["clicks_heard"].get<int>(), 3);
    EXPECT_GT(report["frames_received"].get<int>(), 60);
    EXPECT_GT(report["frames_fed"].get<int>(), 30);
    EXPECT_NEAR(report["audio_seconds"].get<double>(), 8.0, 1.0);
    EXPECT_EQ(report["input_device"], "Eingebautes Mikrofon");
    EXPECT_EQ(report["plugin"], "Delay");
    EXPECT_EQ(report["pipeline_running"], true);
    EXPECT_EQ(report["eq"]["bands"][3]["gain"], 5.0);
    EXPECT_LT(report["startup_to_first_audio_ms"].get<double>(), 1000.0);

    // What the call app heard: stereo at 48 kHz, the voice in it.
    SF_INFO info{};
    SNDFILE* wav = sf_open((out / "velunto-mic.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(wav, nullptr);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.channels, 2);
    sf_close(wav);
    // What the video app saw: full-HD frames, one of them the flash.
    for (const char* name : {"velunto-kamera-1.png", "velunto-kamera-2.png", "velunto-kamera-blitz.png"}) {
        const QImage frame((out / name).c_str());
        ASSERT_FALSE(frame.isNull()) << name;
        EXPECT_EQ(frame.size(), QSize(1920, 1080)) << name;
    }
    EXPECT_GT(qGray(QImage((out / "velunto-kamera-blitz.png").c_str()).pixel(960, 200)), 240) << "white above the code";
    // The panel and the three windows as they look.
    EXPECT_EQ(QImage((out / "panel.png").c_str()).width(), 340);
    EXPECT_EQ(QImage((out / "eq.png").c_str()).width(), 720);
    EXPECT_EQ(QImage((out / "priority.png").c_str()).width(), 420);
    EXPECT_EQ(QImage((out / "latency.png").c_str()).width(), 420);
    EXPECT_TRUE(fs::exists(out / "velunto.log"));
    fs::remove_all(out);
}

TEST(Demo, AnOutputFolderThatCannotBeWrittenIsSaidPlainly) {
    const fs::path file = fs::temp_directory_path() / ("velunto-demo-file-" + std::to_string(getpid()));
    std::ofstream(file) << "not a folder";
    const DemoRun run = runDemo("--seconds 4 --out " + (file / "out").string());
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("Der Ausgabeordner " + (file / "out").string() + " ist nicht beschreibbar."),
              std::string::npos)
        << run.output;
    fs::remove(file);

    const DemoRun wrong = runDemo("--seconds 2");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.output.find("Aufruf: velunto-demo"), std::string::npos);
}

}  // namespace
