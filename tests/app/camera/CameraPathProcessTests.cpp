// The camera path end to end in real time: the camera extension and a viewer as processes of their
// own, the application's camera engine as a third, on simulated cameras.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/platform/coremediaio/CMIOTestSupport.h"

namespace velunto {
namespace {

class Process {
public:
    Process(const char* program, std::vector<std::string> arguments, std::string outputPath)
        : output_(std::move(outputPath)) {
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = open(output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
            std::vector<char*> argv{const_cast<char*>(program)};
            for (auto& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(program, argv.data());
            _exit(127);
        }
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    int wait() {
        int status = -1;
        if (pid_ > 0 && waitpid(pid_, &status, 0) == pid_)
            pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string output() const {
        std::ifstream file(output_);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

private:
    pid_t pid_ = -1;
    std::string output_;
};

TEST(CameraPathProcesses, AViewerSeesEachFrameTheDelayAfterItsCapture) {
    cmiotest::usePrivateSocketDirectory();
    const std::string directory = getenv("XDG_RUNTIME_DIR");
    Process extension(VELUNTO_CAMERA_EXTENSION, {}, directory + "/extension.log");
    Process engine(VELUNTO_CAMERA_PATH, {"--seconds", "6", "--delay", "250"}, directory + "/engine.log");
    Process viewer(VELUNTO_CAMERA_VIEWER, {"--seconds", "4", "--stamps"}, directory + "/viewer.log");
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
