#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/v4l2/V4L2Camera.h"
#include "platform/v4l2/V4L2DeviceInspector.h"
#include "platform/v4l2/V4L2InotifyWatcher.h"
#include "platform/v4l2/V4L2SystemDeviceIO.h"
#include "tests/platform/v4l2/V4L2TestSupport.h"

namespace velunto {
namespace {

TEST(V4L2RealDevice, FirstCameraDeliversAFrame) {
    const auto io = V4L2DeviceIO::system();
    std::optional<V4L2DeviceDescription> found;
    for (const auto& path : io->devicePaths()) {
        auto description = V4L2DeviceInspector::describe(*io, path);
        if (description && V4L2DeviceInspector::isCamera(*description, nullptr)) {
            found = std::move(description);
            break;
        }
    }
    if (!found)
        GTEST_SKIP() << "no V4L2 capture device here";
    const auto sizes = V4L2DeviceInspector::supportedSizes(*found);
    ASSERT_FALSE(sizes.empty());
    const auto camera = std::make_shared<V4L2Camera>(io, *found);
    testing::FrameSink sink;
    camera->startCapture(sizes.front().first, sizes.front().second, sink.handler());
    ASSERT_TRUE(camera->isCapturing());
    EXPECT_TRUE(sink.waitFor(1));
    camera->stopCapture();
}

// A scratch directory standing in for /dev.
class ScratchDirectory {
public:
    ScratchDirectory() {
        char name[] = "/tmp/velunto-v4l2-XXXXXX";
        path_ = ::mkdtemp(name) ? name : "";
    }
    ~ScratchDirectory() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }
    void touch(const std::string& name) const { std::ofstream(path_ + "/" + name).put('x'); }
    void remove(const std::string& name) const { std::filesystem::remove(path_ + "/" + name); }

private:
    std::string path_;
};

TEST(V4L2SystemDeviceIO, ListsVideoNodesInNumericOrder) {
    EXPECT_EQ(V4L2SystemDeviceIO::videoNodeNumber("video12"), 12);
    EXPECT_EQ(V4L2SystemDeviceIO::videoNodeNumber("video"), -1);
    EXPECT_EQ(V4L2SystemDeviceIO::videoNodeNumber("video1a"), -1);
    EXPECT_EQ(V4L2SystemDeviceIO::videoNodeNumber("vbi0"), -1);
    ScratchDirectory dev;
    ASSERT_FALSE(dev.path().empty());
    for (const char* name : {"video10", "vbi0", "video2", "videoX", "media0", "video0"})
        dev.touch(name);
    V4L2SystemDeviceIO io(dev.path());
    const std::vector<std::string> expected{dev.path() + "/video0", dev.path() + "/video2", dev.path() + "/video10"};
    EXPECT_EQ(io.devicePaths(), expected);
    EXPECT_TRUE(V4L2SystemDeviceIO("/nonexistent-velunto").devicePaths().empty());
}

TEST(V4L2InotifyWatcher, ReportsVideoNodesComingAndGoingUntilStopped) {
    ScratchDirectory dev;
    ASSERT_FALSE(dev.path().empty());
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    V4L2InotifyWatcher watcher(dev.path());
    ASSERT_TRUE(watcher.start([&] {
        std::lock_guard lock(mutex);
        ++calls;
        changed.notify_all();
    }));
    const auto waitForCalls = [&](int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, testing::kGenerousWait, [&] { return calls >= count; });
    };
    dev.touch("video3");
    ASSERT_TRUE(waitForCalls(1));
    const int afterCreate = calls;
    dev.remove("video3");
    ASSERT_TRUE(waitForCalls(afterCreate + 1));
    watcher.stop();
    const int afterStop = calls;
    dev.touch("video4");
    watcher.stop();  // twice is fine
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, afterStop);

    V4L2InotifyWatcher missing("/nonexistent-velunto");
    EXPECT_FALSE(missing.start([] {}));
}

}  // namespace
}  // namespace velunto
