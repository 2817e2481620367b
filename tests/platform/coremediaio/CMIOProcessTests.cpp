// Provider and client in different processes, in real time: the test process plays one side and
// a helper process (CMIOTestHelper) the other. Waits are on conditions, with generous bounds.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/coremediaio/CMIOSocketPaths.h"
#include "platform/coremediaio/CMIOWireFormat.h"
#include "tests/platform/coremediaio/CMIOTestFrames.h"
#include "tests/platform/coremediaio/CMIOTestSources.h"
#include "tests/platform/coremediaio/CMIOTestSupport.h"

namespace velunto {
namespace {

using namespace cmiotest;
using namespace std::chrono_literals;

constexpr auto kPatience = 20s;

template <class Predicate>
bool waitUntil(Predicate predicate, std::chrono::milliseconds limit = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class Helper {
public:
    explicit Helper(std::vector<std::string> arguments) {
        int pipeFDs[2];
        if (pipe2(pipeFDs, O_CLOEXEC) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipeFDs[1], STDOUT_FILENO);
            std::vector<char*> argv;
            std::string program = VELUNTO_CMIO_TEST_HELPER;
            argv.push_back(program.data());
            for (auto& argument : arguments)
                argv.push_back(argument.data());
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(pipeFDs[1]);
        output_ = pipeFDs[0];
    }
    ~Helper() { kill(); }

    // Waits for a line of output.
    bool waitForLine(const std::string& expected) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto newline = buffer_.find('\n'); newline != std::string::npos) {
                const std::string line = buffer_.substr(0, newline);
                buffer_.erase(0, newline + 1);
                if (line == expected)
                    return true;
                continue;
            }
            pollfd fd{output_, POLLIN, 0};
            if (poll(&fd, 1, 100) > 0) {
                char chunk[256];
                const ssize_t count = read(output_, chunk, sizeof chunk);
                if (count <= 0)
                    return false;
                buffer_.append(chunk, static_cast<std::size_t>(count));
            }
        }
        return false;
    }

    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        if (output_ >= 0) {
            close(output_);
            output_ = -1;
        }
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
    std::string buffer_;
};

class CMIOProcessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { usePrivateSocketDirectory(); }
    void TearDown() override { CMIOExtensionProvider::stopService(); }

    static CMIODeviceID waitForTestDevice() {
        CMIODeviceID device = kCMIOObjectUnknown;
        waitUntil([&] { return (device = findDevice("test.camera.6F0C")) != kCMIOObjectUnknown; });
        return device;
    }
};

struct ArrivalSignal {
    std::mutex mutex;
    std::condition_variable arrived;
    int calls = 0;
    static void proc(CMIOStreamID, void*, void* refCon) {
        auto* self = static_cast<ArrivalSignal*>(refCon);
        {
            std::lock_guard lock(self->mutex);
            ++self->calls;
        }
        self->arrived.notify_all();
    }
    bool waitFor(const std::shared_ptr<CMSimpleQueue>& queue) {
        std::unique_lock lock(mutex);
        return arrived.wait_for(lock, kPatience, [&] { return queue->count() > 0; });
    }
};

TEST_F(CMIOProcessTest, FramesCrossWholeAndInOrderWithoutACopy) {
    Helper provider({"provider"});
    ASSERT_TRUE(provider.waitForLine("ready"));
    const CMIODeviceID device = waitForTestDevice();
    ASSERT_NE(device, kCMIOObjectUnknown);
    EXPECT_EQ(readString(device, kCMIODevicePropertyModelUID), "Test Model");
    const auto streams = readArray<CMIOStreamID>(device, kCMIODevicePropertyStreams);
    ASSERT_EQ(streams.size(), 2u);

    ArrivalSignal signal;
    std::shared_ptr<CMSimpleQueue> viewer, feed;
    ASSERT_EQ(CMIOStreamCopyBufferQueue(streams[0], &ArrivalSignal::proc, &signal, &viewer), 0);
    ASSERT_EQ(CMIOStreamCopyBufferQueue(streams[1], nullptr, nullptr, &feed), 0);
    EXPECT_EQ(feed->capacity(), 2);
    ASSERT_EQ(CMIODeviceStartStream(device, streams[0]), 0);
    ASSERT_EQ(CMIODeviceStartStream(device, streams[1]), 0);
    EXPECT_EQ(readValue<UInt32>(device, kCMIODevicePropertyDeviceIsRunningSomewhere), 1u);

    std::shared_ptr<CVPixelBufferPool> pool;
    ASSERT_EQ(CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 320, 240}, &pool), kCVReturnSuccess);
    for (std::uint64_t counter = 0; counter < 100; ++counter) {
        std::shared_ptr<CVPixelBuffer> buffer;
        ASSERT_EQ(pool->createPixelBuffer(&buffer), kCVReturnSuccess);
        const std::uint64_t bufferID = buffer->bufferID();
        ASSERT_EQ(feed->enqueue(makeFrame(buffer, counter)), noErr);
        buffer.reset();
        ASSERT_TRUE(signal.waitFor(viewer)) << "frame " << counter << " did not come back";
        auto frame = viewer->dequeue();
        ASSERT_TRUE(frame);
        const auto& image = *frame->imageBuffer();
        const FrameStamp stamp = readStamp(image);
        EXPECT_EQ(stamp.counter, counter);
        EXPECT_TRUE(isWhole(image));
        EXPECT_GE(stamp.consumedAt, stamp.enqueuedAt);
        // The provider sent back the very memory it received.
        EXPECT_EQ(image.bufferID(), bufferID);
        EXPECT_EQ(image.width(), 320u);
    }
    // Every mapping is given back through both processes: the pool gets all its buffers back.
    EXPECT_TRUE(waitUntil([&] { return pool->buffersInUse() == 0; }));
    EXPECT_LE(pool->bufferCount(), CVPixelBufferPool::kDefaultMaximumBufferCount);

    EXPECT_EQ(CMIODeviceStopStream(device, streams[0]), 0);
    EXPECT_EQ(CMIODeviceStopStream(device, streams[1]), 0);
    EXPECT_TRUE(waitUntil([&] { return readValue<UInt32>(device, kCMIODevicePropertyDeviceIsRunningSomewhere) == 0; }));
}

TEST_F(CMIOProcessTest, AProviderKilledAndRestartedIsSeenThroughTheDeviceList) {
    std::atomic<int> listChanges{0};
    const DispatchQueue listenerQueue("test.cmio.process.listener");
    std::uint64_t token = 0;
    const auto devices = address(kCMIOHardwarePropertyDevices);
    ASSERT_EQ(CMIOObjectAddPropertyListenerBlock(
                  kCMIOObjectSystemObject, &devices, listenerQueue,
                  [&](UInt32, const CMIOObjectPropertyAddress*) { ++listChanges; }, &token),
              0);

    auto provider = std::make_unique<Helper>(std::vector<std::string>{"provider"});
    ASSERT_TRUE(provider->waitForLine("ready"));
    const CMIODeviceID first = waitForTestDevice();
    ASSERT_NE(first, kCMIOObjectUnknown);
    const pid_t firstPID = provider->pid();
    const std::string socketPath = CMIOSocketDirectory() + "/" + CMIOSocketName(firstPID, 0);
    EXPECT_EQ(access(socketPath.c_str(), F_OK), 0);

    const int changesBefore = listChanges.load();
    provider->kill();
    EXPECT_TRUE(waitUntil([&] { return listChanges.load() > changesBefore; }));
    EXPECT_TRUE(waitUntil([&] { return findDevice("test.camera.6F0C") == kCMIOObjectUnknown; }));
    OSStatus status = 0;
    readValue<UInt32>(first, kCMIODevicePropertyDeviceIsAlive, &status);
    EXPECT_EQ(status, kCMIOHardwareBadObjectError);
    // The dead provider's socket is cleared away by the next scan.
    deviceList();
    EXPECT_NE(access(socketPath.c_str(), F_OK), 0);

    provider = std::make_unique<Helper>(std::vector<std::string>{"provider"});
    ASSERT_TRUE(provider->waitForLine("ready"));
    const CMIODeviceID second = waitForTestDevice();
    ASSERT_NE(second, kCMIOObjectUnknown);
    EXPECT_GT(second, first);
    EXPECT_EQ(readString(second, kCMIOObjectPropertyName), "Test Camera");
    EXPECT_EQ(CMIOObjectRemovePropertyListenerBlock(kCMIOObjectSystemObject, &devices, listenerQueue, token), 0);
}

class RawConnection {
public:
    explicit RawConnection(const std::string& path) {
        socket_ = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        connected_ = ::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawConnection() { close(socket_); }
    bool connected() const { return connected_; }
    bool sendJSON(const nlohmann::json& message) {
        const std::string text = message.dump();
        return wireSend(socket_, WireKind::json, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, -1,
                        false);
    }
    bool sendBytes(const void* bytes, std::size_t size) { return ::send(socket_, bytes, size, MSG_NOSIGNAL) >= 0; }
    // The next JSON message, or null when the connection closed (or nothing came in time).
    nlohmann::json receiveJSON() {
        pollfd fd{socket_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0)
            return nullptr;
        WireMessage message;
        if (wireReceive(socket_, &message) != WireReceive::message || message.kind != WireKind::json)
            return nullptr;
        return nlohmann::json::parse(message.payload.begin(), message.payload.end(), nullptr, false);
    }
    // The provider closed the connection.
    bool closedByPeer() {
        pollfd fd{socket_, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(std::chrono::milliseconds(kPatience).count())) <= 0)
            return false;
        char byte;
        return ::recv(socket_, &byte, 1, MSG_DONTWAIT) == 0;
    }

private:
    int socket_ = -1;
    bool connected_ = false;
};

std::string ownSocketPath() {
    const std::string directory = CMIOSocketDirectory();
    std::string found;
    if (DIR* listing = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(listing))
            if (CMIOSocketOwner(entry->d_name) == getpid())
                found = directory + "/" + entry->d_name;
        closedir(listing);
    }
    return found;
}

TEST_F(CMIOProcessTest, AMalformedMessageClosesOnlyThatConnection) {
    const DispatchQueue queue("test.cmio.process.provider");
    TestExtension extension(queue);
    CMIOExtensionProvider::startServiceWithProvider(extension.provider);
    const std::string path = ownSocketPath();
    ASSERT_FALSE(path.empty());

    RawConnection good(path), bad(path), badFrame(path);
    ASSERT_TRUE(good.connected() && bad.connected() && badFrame.connected());
    ASSERT_TRUE(good.sendJSON({{"op", "hello"}, {"id", 1}, {"clientID", "raw"}, {"pid", 1}, {"signingID", "raw"}}));
    const auto hello = good.receiveJSON();
    ASSERT_TRUE(hello.is_object());
    EXPECT_EQ(hello["status"], 0);
    EXPECT_EQ(hello["id"], 1);
    EXPECT_EQ(hello["devices"].size(), 1u);

    const char garbage[] = "this is not a message";
    ASSERT_TRUE(bad.sendBytes(garbage, sizeof garbage));
    EXPECT_TRUE(bad.closedByPeer());
    // A frame without its descriptor for a buffer never seen.
    WireFrame frame{};
    std::strcpy(frame.streamID, "x");
    frame.width = frame.height = 1;
    WireHeader header{kWireMagic, static_cast<std::uint32_t>(sizeof(WireHeader) + sizeof frame),
                      static_cast<std::uint32_t>(WireKind::frame), 0};
    std::vector<std::uint8_t> packet(sizeof header + sizeof frame);
    std::memcpy(packet.data(), &header, sizeof header);
    std::memcpy(packet.data() + sizeof header, &frame, sizeof frame);
    ASSERT_TRUE(badFrame.sendBytes(packet.data(), packet.size()));
    EXPECT_TRUE(badFrame.closedByPeer());

    // The good connection still answers.
    ASSERT_TRUE(good.sendJSON({{"op", "running"}, {"id", 2}, {"device", kDeviceID}}));
    const auto running = good.receiveJSON();
    ASSERT_TRUE(running.is_object());
    EXPECT_EQ(running["id"], 2);
    EXPECT_EQ(running["value"], false);
    std::size_t rawClients = 0;
    for (const auto& client : extension.provider->connectedClients())
        rawClients += client.clientID == "raw";
    EXPECT_EQ(rawClients, 1u);
}

TEST_F(CMIOProcessTest, AClientKilledWhileHoldingFramesDoesNotLeaveThePoolGrowing) {
    const DispatchQueue queue("test.cmio.process.provider");
    TestExtension extension(queue);
    CMIOExtensionProvider::startServiceWithProvider(extension.provider);
    std::shared_ptr<CVPixelBufferPool> pool;
    ASSERT_EQ(CVPixelBufferPool::create({kCVPixelFormatType_32BGRA, 64, 48}, &pool), kCVReturnSuccess);
    pool->setMaximumBufferCount(32);

    Helper holder({"hold", "3"});
    std::uint64_t counter = 0;
    auto sendOne = [&] {
        std::shared_ptr<CVPixelBuffer> buffer;
        if (pool->createPixelBuffer(&buffer) == kCVReturnSuccess)
            extension.sourceStream->sendSampleBuffer(makeFrame(buffer, counter++), 0, 0);
    };
    // Frames flow until the client holds some; it never lets them go.
    bool holding = false;
    std::thread waiter([&] { holding = holder.waitForLine("holding"); });
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        while (!stop.load()) {
            sendOne();
            std::this_thread::sleep_for(2ms);
        }
    });
    waiter.join();
    stop = true;
    sender.join();
    ASSERT_TRUE(holding);
    EXPECT_GT(pool->buffersInUse(), 0u);

    holder.kill();
    ASSERT_TRUE(waitUntil([&] {
        for (const auto& client : extension.provider->connectedClients())
            if (client.pid != getpid())
                return false;
        return true;
    }));
    // Everything the dead client held is free again: as many buffers at once as the pool has,
    // without it making a new one.
    ASSERT_TRUE(waitUntil([&] { return pool->buffersInUse() == 0; }))
        << pool->buffersInUse() << " buffers are still counted as mapped by the dead client";
    const std::size_t count = pool->bufferCount();
    std::vector<std::shared_ptr<CVPixelBuffer>> all(count);
    for (auto& buffer : all)
        ASSERT_EQ(pool->createPixelBuffer(&buffer), kCVReturnSuccess);
    EXPECT_EQ(pool->bufferCount(), count);
}

}  // namespace
}  // namespace velunto
