#include "platform/coremediaio/CMIOSocketPeer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "platform/coremedia/CMFormatDescription.h"
#include "platform/oslog/Logger.h"

namespace velunto {

namespace {

constexpr std::size_t kMaximumMappings = 256;

const Logger& logger() {
    static const Logger instance("app.velunto.cmio", "Socket");
    return instance;
}

// Whether the process has exited (or is a zombie), waiting a little for one that is on its way out.
bool waitForExit(pid_t pid) {
    if (pid <= 0)
        return false;
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    for (int attempt = 0; attempt < 500; ++attempt) {
        std::FILE* file = std::fopen(path.c_str(), "re");
        if (!file)
            return true;
        char text[512] = {};
        const std::string stat(text, std::fread(text, 1, sizeof text - 1, file));
        std::fclose(file);
        // "<pid> (<name>) <state> ...": the name may hold parentheses itself.
        const auto close = stat.rfind(')');
        if (close != std::string::npos && close + 2 < stat.size() && (stat[close + 2] == 'Z' || stat[close + 2] == 'X'))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
    return false;
}

std::span<const std::uint8_t> bytesOf(const auto& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

}  // namespace

std::shared_ptr<CMIOSocketPeer> CMIOSocketPeer::make(int socket, Handlers handlers) {
    return std::shared_ptr<CMIOSocketPeer>(new CMIOSocketPeer(socket, std::move(handlers)));
}

CMIOSocketPeer::CMIOSocketPeer(int socket, Handlers handlers) : socket_(socket), handlers_(std::move(handlers)) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(socket_, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0)
        peerPID_ = credentials.pid;
    timeval timeout{2, 0};
    ::setsockopt(socket_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

CMIOSocketPeer::~CMIOSocketPeer() {
    for (const auto& [id, mapping] : mappings_)
        ::close(mapping.fd);
    ::close(socket_);
}

void CMIOSocketPeer::start() {
    std::thread([self = shared_from_this()] { self->readLoop(); }).detach();
}

void CMIOSocketPeer::close() {
    if (!closed_.exchange(true))
        ::shutdown(socket_, SHUT_RDWR);
}

std::size_t CMIOSocketPeer::outstandingFrames() const {
    std::lock_guard lock(sendMutex_);
    std::size_t total = 0;
    for (const auto& [id, sent] : sent_)
        total += sent.outstanding;
    return total;
}

bool CMIOSocketPeer::sendJSON(const nlohmann::json& message) {
    if (closed_.load())
        return false;
    const std::string text = message.dump();
    if (!wireSend(socket_, WireKind::json, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}, -1,
                  false)) {
        close();
        return false;
    }
    return true;
}

bool CMIOSocketPeer::sendFrame(const std::string& streamID, const CMSampleBufferRef& sampleBuffer,
                               std::uint32_t discontinuity, std::uint64_t hostTimeInNanoseconds) {
    if (closed_.load() || !sampleBuffer || !sampleBuffer->imageBuffer() ||
        streamID.size() >= sizeof(WireFrame::streamID))
        return false;
    const auto& buffer = sampleBuffer->imageBuffer();
    const std::uint64_t bufferID = buffer->bufferID();
    std::lock_guard lock(sendMutex_);
    const bool withFD = !fdSent_.contains(bufferID);
    const WireFrame frame = wireFrame(streamID, *sampleBuffer, withFD, discontinuity, hostTimeInNanoseconds);
    if (!wireSend(socket_, WireKind::frame, bytesOf(frame), withFD ? buffer->sharedMemoryFD() : -1, true))
        return false;  // the peer is behind: this frame is dropped
    if (withFD)
        fdSent_.insert(bufferID);
    auto& sent = sent_[bufferID];
    sent.buffer = buffer;
    ++sent.outstanding;
    return true;
}

void CMIOSocketPeer::sendRelease(std::uint64_t bufferID) {
    if (closed_.load())
        return;
    const WireRelease release{bufferID, 1, 0};
    if (!wireSend(socket_, WireKind::release, bytesOf(release), -1, false))
        close();
}

void CMIOSocketPeer::readLoop() {
    for (;;) {
        WireMessage message;
        const WireReceive result = wireReceive(socket_, &message);
        if (result == WireReceive::closed)
            break;
        const char* problem = result == WireReceive::malformed ? "bad framing" : handle(message);
        if (problem) {
            if (message.fd >= 0)
                ::close(message.fd);
            logger().error("malformed message from process %d (%{public}s); closing the connection",
                           static_cast<int>(peerPID_), problem);
            break;
        }
    }
    finish();
}

void CMIOSocketPeer::finish() {
    close();
    std::map<std::uint64_t, Sent> held;
    {
        std::lock_guard lock(sendMutex_);
        held.swap(sent_);
        fdSent_.clear();
    }
    auto closed = std::move(handlers_.closed);
    handlers_ = {};
    if (closed)
        closed();
    // A peer that died cannot lower the use counts of the mappings it held; one that merely lost
    // the connection still will, when it lets go of them.
    bool anyOutstanding = false;
    for (const auto& [id, sent] : held)
        anyOutstanding = anyOutstanding || sent.outstanding > 0;
    if (anyOutstanding && waitForExit(peerPID_)) {
        for (auto& [id, sent] : held)
            if (sent.outstanding > 0)
                sent.buffer->relinquishSharedUses(sent.outstanding);
    }
}

const char* CMIOSocketPeer::handle(WireMessage& message) {
    switch (message.kind) {
        case WireKind::json: {
            auto parsed = nlohmann::json::parse(message.payload.begin(), message.payload.end(), nullptr, false);
            if (parsed.is_discarded() || !parsed.is_object())
                return "not a JSON object";
            if (handlers_.message)
                handlers_.message(parsed);
            return closed_.load() ? "refused by its receiver" : nullptr;
        }
        case WireKind::frame:
            return receiveFrame(message);
        case WireKind::release:
            return receiveRelease(message);
    }
    return "unknown kind";
}

const char* CMIOSocketPeer::receiveFrame(WireMessage& message) {
    const auto frame = wireFrameFromPayload(message.payload);
    if (!frame)
        return "bad frame header";
    if ((frame->hasFD == 1) != (message.fd >= 0))
        return "descriptor missing or unexpected";
    const CVPixelBufferLayout layout = wireFrameLayout(*frame);
    if (message.fd >= 0) {
        if (mappings_.contains(frame->bufferID))
            return "descriptor sent twice";
        if (mappings_.size() >= kMaximumMappings)
            return "too many buffers";
        mappings_[frame->bufferID] = {message.fd, layout};
        message.fd = -1;
    }
    auto mapping = mappings_.find(frame->bufferID);
    if (mapping == mappings_.end())
        return "unknown buffer";
    if (!(mapping->second.layout == layout))
        return "buffer layout changed";

    std::shared_ptr<CVPixelBuffer> mapped;
    if (CVPixelBuffer::createFromSharedMemory(mapping->second.fd, layout, &mapped) != kCVReturnSuccess || !mapped)
        return "buffer refused";
    // The frame's buffer: when its last reference goes, the mapping goes and the sender hears it.
    struct Lease {
        std::shared_ptr<CVPixelBuffer> buffer;
        std::weak_ptr<CMIOSocketPeer> peer;
        std::uint64_t bufferID;
        ~Lease() {
            buffer.reset();
            if (auto owner = peer.lock())
                owner->sendRelease(bufferID);
        }
    };
    const std::shared_ptr<Lease> lease(new Lease{std::move(mapped), weak_from_this(), frame->bufferID});
    std::shared_ptr<CVPixelBuffer> leased(lease, lease->buffer.get());

    std::shared_ptr<const CMVideoFormatDescription> description;
    CMSampleBufferRef sampleBuffer;
    if (CMVideoFormatDescription::createForImageBuffer(*leased, &description) != noErr ||
        CMSampleBuffer::createReadyWithImageBuffer(leased, description, wireFrameTiming(*frame), &sampleBuffer) !=
            noErr)
        return "no sample buffer";
    leased.reset();
    if (handlers_.frame)
        handlers_.frame(frame->streamID, std::move(sampleBuffer), frame->discontinuity, frame->hostTimeInNanoseconds);
    return nullptr;
}

const char* CMIOSocketPeer::receiveRelease(const WireMessage& message) {
    if (message.payload.size() != sizeof(WireRelease))
        return "bad release";
    WireRelease release;
    std::memcpy(&release, message.payload.data(), sizeof release);
    std::shared_ptr<CVPixelBuffer> dropped;
    std::lock_guard lock(sendMutex_);
    auto it = sent_.find(release.bufferID);
    if (release.reserved != 0 || release.count == 0 || it == sent_.end() || it->second.outstanding < release.count)
        return "release of frames never sent";
    it->second.outstanding -= release.count;
    if (it->second.outstanding == 0) {
        dropped = std::move(it->second.buffer);
        sent_.erase(it);
    }
    return nullptr;
}

}  // namespace velunto
