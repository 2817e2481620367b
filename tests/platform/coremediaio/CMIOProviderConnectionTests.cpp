// The provider's side of connections driven directly, the wire format's checks and the property coding.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <thread>

#include "platform/coremediaio/CMIOHardware.h"
#include "platform/coremediaio/CMIOPropertyCoding.h"
#include "platform/coremediaio/CMIOProviderConnection.h"
#include "platform/coremediaio/CMIOSocketChannel.h"
#include "platform/coremediaio/CMIOWireFormat.h"
#include "platform/dispatch/VirtualTime.h"
#include "tests/platform/coremediaio/CMIOTestFrames.h"
#include "tests/platform/coremediaio/CMIOTestSources.h"

namespace velunto {
namespace {

using namespace cmiotest;
using nlohmann::json;

class RecordingChannel : public CMIOClientChannel {
public:
    void sendEvent(const json& event) override { events.push_back(event); }
    void sendSourceFrame(const std::string& streamID, const CMSampleBufferRef&, std::uint32_t, std::uint64_t) override {
        frames.push_back(streamID);
    }
    void closeFromProvider() override { closed = true; }
    pid_t peerPID() const override { return 4242; }

    std::vector<json> events;
    std::vector<std::string> frames;
    bool closed = false;
};

class CMIOProviderConnectionTest : public ::testing::Test {
protected:
    std::shared_ptr<CMIOProviderConnection> connect(const std::string& clientID,
                                                    std::shared_ptr<RecordingChannel>* channelOut = nullptr) {
        auto channel = std::make_shared<RecordingChannel>();
        auto connection = std::make_shared<CMIOProviderConnection>(extension.provider, channel);
        std::optional<json> reply;
        queue.sync([&] {
            reply = connection->handleRequest(
                json{{"op", "hello"}, {"clientID", clientID}, {"pid", 1}, {"signingID", "test"}});
        });
        EXPECT_TRUE(reply && (*reply)["status"] == 0);
        if (channelOut)
            *channelOut = channel;
        return connection;
    }

    std::optional<json> request(const std::shared_ptr<CMIOProviderConnection>& connection, const json& message) {
        return queue.sync([&] { return connection->handleRequest(message); });
    }

    VirtualTime time;
    DispatchQueue queue{"test.cmio.connection"};
    TestExtension extension{queue};
};

TEST_F(CMIOProviderConnectionTest, TheSourceStartsForTheFirstClientAndStopsAfterTheLast) {
    auto first = connect("client-1");
    auto second = connect("client-2");
    const std::string streamID = extension.sourceStream->streamID();
    EXPECT_EQ((*request(first, {{"op", "start"}, {"stream", streamID}}))["status"], 0);
    EXPECT_EQ((*request(second, {{"op", "start"}, {"stream", streamID}}))["status"], 0);
    EXPECT_EQ(extension.sourceStreamSource->startCount.load(), 1);
    EXPECT_EQ(extension.sourceStream->runningClientCount(), 2u);
    EXPECT_TRUE(extension.device->isRunningSomewhere());

    EXPECT_EQ((*request(first, {{"op", "stop"}, {"stream", streamID}}))["status"], 0);
    EXPECT_EQ(extension.sourceStreamSource->stopCount.load(), 0);
    EXPECT_TRUE(extension.device->isRunningSomewhere());

    // The second client's connection ends without a stop: the stream stops for it.
    queue.sync([&] { second->close(); });
    EXPECT_EQ(extension.sourceStreamSource->stopCount.load(), 1);
    EXPECT_FALSE(extension.device->isRunningSomewhere());
    EXPECT_EQ(extension.providerSource->disconnected.at(0).clientID, "client-2");
    // The transport's process ID wins over the one the client claims.
    EXPECT_EQ(extension.providerSource->connected.at(0).pid, 4242);
}

TEST_F(CMIOProviderConnectionTest, FramesGoOnlyToClientsRunningTheStream) {
    std::shared_ptr<RecordingChannel> runningChannel, idleChannel;
    auto running = connect("running", &runningChannel);
    auto idle = connect("idle", &idleChannel);
    request(running, {{"op", "start"}, {"stream", extension.sourceStream->streamID()}});
    extension.sourceStream->sendSampleBuffer(makeFrame(16, 16, 1), 0, 0);
    EXPECT_EQ(runningChannel->frames.size(), 1u);
    EXPECT_TRUE(idleChannel->frames.empty());
    // Sending on a sink stream goes nowhere.
    extension.sinkStream->sendSampleBuffer(makeFrame(16, 16, 2), 0, 0);
    EXPECT_EQ(runningChannel->frames.size(), 1u);
}

TEST_F(CMIOProviderConnectionTest, RunningSomewhereIsAnnouncedToEveryClient) {
    std::shared_ptr<RecordingChannel> watcherChannel;
    auto watcher = connect("watcher", &watcherChannel);
    auto user = connect("user");
    request(user, {{"op", "start"}, {"stream", extension.sourceStream->streamID()}});
    ASSERT_FALSE(watcherChannel->events.empty());
    const json& event = watcherChannel->events.back();
    EXPECT_EQ(event["event"], "properties");
    EXPECT_EQ(event["device"], kDeviceID);
    EXPECT_EQ(event["names"], json::array({"gone"}));
}

TEST_F(CMIOProviderConnectionTest, MalformedRequestsAreRefused) {
    auto channel = std::make_shared<RecordingChannel>();
    auto fresh = std::make_shared<CMIOProviderConnection>(extension.provider, channel);
    // Anything before hello, and a hello without its fields.
    EXPECT_FALSE(request(fresh, {{"op", "devices"}}));
    EXPECT_FALSE(request(fresh, {{"op", "hello"}, {"clientID", 5}}));
    EXPECT_FALSE(request(fresh, json::array({1, 2})));

    auto connection = connect("client");
    EXPECT_FALSE(request(connection, {{"op", "hello"}, {"clientID", "again"}, {"pid", 1}, {"signingID", ""}}));
    EXPECT_FALSE(request(connection, {{"op", "teleport"}}));
    EXPECT_FALSE(request(connection, {{"op", "start"}}));
    EXPECT_FALSE(request(connection, {{"op", "deviceProperties"}, {"device", kDeviceID}, {"names", "model"}}));
    EXPECT_FALSE(request(connection, {{"op", "setStreamProperties"},
                                      {"stream", extension.sourceStream->streamID()},
                                      {"values", {{"x", {{"q", 1}}}}}}));
    // Well formed but naming nothing known: a status, not a closed connection.
    EXPECT_EQ((*request(connection, {{"op", "start"}, {"stream", "nothing"}}))["status"], kCMIOHardwareBadStreamError);
    EXPECT_EQ((*request(connection, {{"op", "running"}, {"device", "nothing"}}))["status"],
              kCMIOHardwareBadDeviceError);
    EXPECT_EQ(
        (*request(connection, {{"op", "setStreamProperties"},
                               {"stream", extension.sourceStream->streamID()},
                               {"values", {{CMIOExtensionPropertyStreamActiveFormatIndex, {{"i", 7}}}}}}))["status"],
        kCMIODeviceUnsupportedFormatError);
}

TEST_F(CMIOProviderConnectionTest, ARefusedClientGetsNoDevices) {
    extension.providerSource->refuse = true;
    auto channel = std::make_shared<RecordingChannel>();
    auto connection = std::make_shared<CMIOProviderConnection>(extension.provider, channel);
    auto reply = request(connection, {{"op", "hello"}, {"clientID", "c"}, {"pid", 1}, {"signingID", ""}});
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["status"], kCMIOHardwareIllegalOperationError);
    EXPECT_EQ((*reply)["error"], "refused");
    EXPECT_FALSE(reply->contains("devices"));
    EXPECT_TRUE(extension.provider->connectedClients().empty());
}

TEST(CMIOPropertyCoding, ValuesSurviveTheWireAndMalformedOnesAreRefused) {
    const CMIOExtensionPropertyStates states{
        {"a", {std::string("text")}}, {"b", {std::int64_t{-5}}}, {"c", {2.5}}, {"d", {CMTimeMake(1, 30)}}, {"e", {}}};
    const auto decoded = decodePropertyStates(json::parse(encodePropertyStates(states).dump()));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(std::get<std::string>(decoded->at("a").value), "text");
    EXPECT_EQ(std::get<std::int64_t>(decoded->at("b").value), -5);
    EXPECT_EQ(std::get<double>(decoded->at("c").value), 2.5);
    EXPECT_EQ(std::get<CMTime>(decoded->at("d").value).timescale, 30);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(decoded->at("e").value));

    EXPECT_FALSE(decodePropertyState(json{{"s", 1}}));
    EXPECT_FALSE(decodePropertyState(json{{"i", "1"}}));
    EXPECT_FALSE(decodePropertyState(json{{"t", {1, 2, 3}}}));
    EXPECT_FALSE(decodePropertyState(json{{"t", {1, 5000000000LL, 1, 0}}}));
    EXPECT_FALSE(decodePropertyState(json{{"s", "x"}, {"i", 1}}));
    EXPECT_FALSE(decodeNames(json::array({"a", 1})));

    EXPECT_EQ(CMIOExtensionCustomPropertySelector("4cc_vnsa_glob_0000"), UInt32{'vnsa'});
    EXPECT_EQ(CMIOExtensionCustomPropertyName('cnt '), "4cc_cnt _glob_0000");
    EXPECT_FALSE(CMIOExtensionCustomPropertySelector("4cc_vnsa_outp_0000"));
    EXPECT_FALSE(CMIOExtensionCustomPropertySelector("4cc_vns_glob_0000"));
}

// The parser keeps non-negative integers unsigned; one beyond the signed range must not come back negative.
TEST(CMIOPropertyCoding, IntegersBeyondTheSignedRangeAreRefusedNotWrapped) {
    const json tooLarge = json::parse("18446744073709551615");
    EXPECT_FALSE(decodePropertyState(json{{"i", tooLarge}}));
    EXPECT_FALSE(decodePropertyState(json{{"i", 9223372036854775808ULL}}));
    EXPECT_FALSE(decodeTime(json::array({1, tooLarge, 1, 0})));
    EXPECT_FALSE(decodeTime(json::array({tooLarge, 30, 1, 0})));
    EXPECT_FALSE(decodeTime(json::array({1, 30, 1, tooLarge})));
    EXPECT_FALSE(decodePropertyStates(json{{"CMIOExtensionPropertyStreamActiveFormatIndex", {{"i", tooLarge}}}}));

    const auto largest = decodePropertyState(json{{"i", 9223372036854775807ULL}});
    ASSERT_TRUE(largest);
    EXPECT_EQ(std::get<std::int64_t>(largest->value), INT64_MAX);
}

// A client that goes, greeted or not, leaves nothing behind in the provider's process: the channel, its
// connection and the socket are let go. The camera extension outlives many clients.
TEST(CMIOSocketChannel, AClosedConnectionLetsGoOfChannelConnectionAndSocket) {
    DispatchQueue queue{"test.cmio.channel"};
    TestExtension extension{queue};
    for (const bool greeted : {false, true}) {
        int sockets[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0);
        const std::weak_ptr<CMIOSocketChannel> channel = CMIOSocketChannel::open(sockets[1], extension.provider);
        if (greeted) {
            const std::string hello =
                json{{"op", "hello"}, {"id", 1}, {"clientID", "c"}, {"pid", 1}, {"signingID", "t"}}.dump();
            ASSERT_TRUE(wireSend(sockets[0], WireKind::json,
                                 {reinterpret_cast<const std::uint8_t*>(hello.data()), hello.size()}, -1, false));
            WireMessage reply;
            ASSERT_EQ(wireReceive(sockets[0], &reply), WireReceive::message);
            ASSERT_EQ(extension.provider->connections().size(), 1u);
        }
        close(sockets[0]);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((!channel.expired() || fcntl(sockets[1], F_GETFD) != -1) &&
               std::chrono::steady_clock::now() < deadline) {
            queue.sync([] {});
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_TRUE(channel.expired()) << (greeted ? "greeted" : "not greeted");
        EXPECT_EQ(fcntl(sockets[1], F_GETFD), -1) << "the provider's end of the socket is still open";
        EXPECT_TRUE(extension.provider->connections().empty());
    }
}

class CMIOWireFormatTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets), 0); }
    void TearDown() override {
        close(sockets[0]);
        close(sockets[1]);
    }
    WireReceive receiveRaw(const void* bytes, std::size_t size) {
        EXPECT_EQ(send(sockets[0], bytes, size, 0), static_cast<ssize_t>(size));
        WireMessage message;
        const auto result = wireReceive(sockets[1], &message);
        if (message.fd >= 0)
            close(message.fd);
        return result;
    }
    int sockets[2] = {-1, -1};
};

TEST_F(CMIOWireFormatTest, AFrameWithItsDescriptorArrivesIntact) {
    auto frame = makeFrame(32, 8, 77);
    const WireFrame wire = wireFrame("ABC-123", *frame, true, 3, 99);
    ASSERT_TRUE(wireSend(sockets[0], WireKind::frame, {reinterpret_cast<const std::uint8_t*>(&wire), sizeof wire},
                         frame->imageBuffer()->sharedMemoryFD(), false));
    WireMessage message;
    ASSERT_EQ(wireReceive(sockets[1], &message), WireReceive::message);
    ASSERT_GE(message.fd, 0);
    const auto decoded = wireFrameFromPayload(message.payload);
    ASSERT_TRUE(decoded);
    EXPECT_STREQ(decoded->streamID, "ABC-123");
    EXPECT_EQ(decoded->discontinuity, 3u);
    EXPECT_TRUE(wireFrameLayout(*decoded) == frame->imageBuffer()->layout());
    std::shared_ptr<CVPixelBuffer> mapped;
    ASSERT_EQ(CVPixelBuffer::createFromSharedMemory(message.fd, wireFrameLayout(*decoded), &mapped), kCVReturnSuccess);
    EXPECT_EQ(readStamp(*mapped).counter, 77u);
    EXPECT_TRUE(isWhole(*mapped));
    close(message.fd);
}

TEST_F(CMIOWireFormatTest, MalformedMessagesAreRecognised) {
    WireHeader header{kWireMagic, sizeof(WireHeader), static_cast<std::uint32_t>(WireKind::json), 0};
    EXPECT_EQ(receiveRaw(&header, sizeof header), WireReceive::message);
    WireHeader badMagic = header;
    badMagic.magic = 0x12345678;
    EXPECT_EQ(receiveRaw(&badMagic, sizeof badMagic), WireReceive::malformed);
    WireHeader badLength = header;
    badLength.length = 100;
    EXPECT_EQ(receiveRaw(&badLength, sizeof badLength), WireReceive::malformed);
    WireHeader badKind = header;
    badKind.kind = 9;
    EXPECT_EQ(receiveRaw(&badKind, sizeof badKind), WireReceive::malformed);
    const char shortMessage[3] = {1, 2, 3};
    EXPECT_EQ(receiveRaw(shortMessage, sizeof shortMessage), WireReceive::malformed);

    auto frame = makeFrame(8, 8, 1);
    WireFrame wire = wireFrame("ok", *frame, false, 0, 0);
    std::vector<std::uint8_t> payload(reinterpret_cast<std::uint8_t*>(&wire),
                                      reinterpret_cast<std::uint8_t*>(&wire) + sizeof wire);
    EXPECT_TRUE(wireFrameFromPayload(payload));
    std::memcpy(wire.streamID, "bad/../id", 10);
    payload.assign(reinterpret_cast<std::uint8_t*>(&wire), reinterpret_cast<std::uint8_t*>(&wire) + sizeof wire);
    EXPECT_FALSE(wireFrameFromPayload(payload));
    std::memset(wire.streamID, 'A', sizeof wire.streamID);  // no terminator
    payload.assign(reinterpret_cast<std::uint8_t*>(&wire), reinterpret_cast<std::uint8_t*>(&wire) + sizeof wire);
    EXPECT_FALSE(wireFrameFromPayload(payload));
    payload.pop_back();
    EXPECT_FALSE(wireFrameFromPayload(payload));
}

// A packet of no bytes reads like the end of the connection, but may still carry descriptors.
TEST_F(CMIOWireFormatTest, AnEmptyPacketWithADescriptorIsMalformedAndLeavesNothingOpen) {
    const auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const int stray = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(stray, 0);
    msghdr packet{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    packet.msg_control = control;
    packet.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&packet);
    item->cmsg_level = SOL_SOCKET;
    item->cmsg_type = SCM_RIGHTS;
    item->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(item), &stray, sizeof stray);
    ASSERT_EQ(sendmsg(sockets[0], &packet, 0), 0);
    const auto before = openDescriptors();

    WireMessage message;
    EXPECT_EQ(wireReceive(sockets[1], &message), WireReceive::malformed);
    EXPECT_EQ(message.fd, -1);
    EXPECT_EQ(openDescriptors(), before);
    close(stray);

    close(sockets[0]);
    sockets[0] = -1;
    EXPECT_EQ(wireReceive(sockets[1], &message), WireReceive::closed);
}

}  // namespace
}  // namespace velunto
