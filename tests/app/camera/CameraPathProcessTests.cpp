// The camera path end to end in real time: the camera extension and a viewer as processes of their
// own, the application's camera engine as a third, on simulated cameras.

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/platform/coremediaio/CMIOTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace velunto {
namespace {

TEST(CameraPathProcesses, AViewerSeesEachFrameTheDelayAfterItsCapture) {
    cmiotest::usePrivateSocketDirectory();
    const std::string directory = getenv("XDG_RUNTIME_DIR");
    ChildProcess extension(VELUNTO_CAMERA_EXTENSION, {}, directory + "/extension.log");
    ChildProcess engine(VELUNTO_CAMERA_PATH, {"--seconds", "6", "--delay", "250"}, directory + "/engine.log");
    ChildProcess viewer(VELUNTO_CAMERA_VIEWER, {"--seconds", "4", "--stamps"}, directory + "/viewer.log");
    ASSERT_EQ(viewer.wait(), 0) << viewer.output();

    const std::string report = viewer.output();
    const auto line = report.find("Verzögerung ab Aufnahme:");
    ASSERT_NE(line, std::string::npos) << report << engine.output();
    double minimum = 0, median = 0, p99 = 0;
    std::size_t frames = 0;
    ASSERT_EQ(std::sscanf(report.c_str() + line,
                          "Verzögerung ab Aufnahme: Minimum %lf ms, Median %lf ms, 99. Perzentil %lf ms (%zu Bilder)",
                          &minimum, &median, &p99, &frames),
              4)
        << report;
    EXPECT_GE(frames, 40u) << report;
    // Never before the delay; typically within one frame after it.
    EXPECT_GE(minimum, 250.0 - 1.0) << report;
    EXPECT_LE(median, 250.0 + 33.4) << report;
    EXPECT_NE(engine.output().find("Velunto Kamera wird genutzt."), std::string::npos) << engine.output();
}

}  // namespace
}  // namespace velunto
