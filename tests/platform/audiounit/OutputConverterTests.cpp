#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/audiounit/OutputConverter.h"
#include "tests/platform/audiounit/AllocationCounter.h"

namespace velunto {
namespace {

// Renders channel c of client frame n as (c + 1) / 10 + n / 10^6; can fail or report silence once.
struct Client {
    OutputConverterFormat format;
    std::size_t calls = 0;
    std::size_t failCall = SIZE_MAX;
    std::size_t silentCall = SIZE_MAX;

    static float value(double frame, UInt32 channel) { return static_cast<float>((channel + 1) / 10.0 + frame / 1e6); }

    static OSStatus render(void* refCon, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* time, UInt32,
                           UInt32 n, AudioBufferList* data) {
        auto* self = static_cast<Client*>(refCon);
        const UInt32 channels = self->format.clientChannels;
        for (UInt32 f = 0; f < n; ++f) {
            for (UInt32 c = 0; c < channels; ++c) {
                const bool interleaved = self->format.clientInterleaved;
                static_cast<float*>(data->mBuffers[interleaved ? 0 : c].mData)[interleaved ? f * channels + c : f] =
                    value(time->mSampleTime + f, c);
            }
        }
        const std::size_t call = self->calls++;
        if (call == self->silentCall) {
            *flags |= kAudioUnitRenderAction_OutputIsSilence;
        }
        return call == self->failCall ? -1 : noErr;
    }
};

// Device output as an I/O proc gets it: interleaved buffers of the given widths, filled with junk.
struct DeviceBuffers {
    DeviceBuffers(std::vector<UInt32> widths, UInt32 frames)
        : storage(offsetof(AudioBufferList, mBuffers) + widths.size() * sizeof(AudioBuffer)),
          list(reinterpret_cast<AudioBufferList*>(storage.data())),
          samples(widths.size()) {
        list->mNumberBuffers = static_cast<UInt32>(widths.size());
        for (std::size_t b = 0; b < widths.size(); ++b) {
            samples[b].assign(std::size_t{widths[b]} * frames, 99.0f);
            list->mBuffers[b] = {widths[b], static_cast<UInt32>(samples[b].size() * sizeof(float)), samples[b].data()};
        }
    }
    bool silent() const {
        for (const auto& buffer : samples) {
            if (buffer != std::vector<float>(buffer.size(), 0.0f)) {
                return false;
            }
        }
        return true;
    }
    std::vector<std::byte> storage;
    AudioBufferList* list;
    std::vector<std::vector<float>> samples;
};

std::unique_ptr<OutputConverter> makeConverter(Client& client) {
    auto converter = OutputConverter::create(client.format);
    if (converter) {
        converter->setRenderCallback({&Client::render, &client});
    }
    return converter;
}

TEST(OutputConverter, SpreadsClientChannelsOverTheDeviceBuffersAndAveragesForAMonoDevice) {
    struct Case {
        UInt32 clientChannels;
        bool interleaved;
        std::vector<UInt32> deviceBuffers;
    };
    for (const Case& c : {Case{4, true, {2}}, Case{3, true, {1}}, Case{1, true, {2, 1}}, Case{3, false, {1, 2}}}) {
        SCOPED_TRACE(testing::Message() << c.clientChannels << (c.interleaved ? " interleaved -> " : " separate -> ")
                                        << testing::PrintToString(c.deviceBuffers));
        UInt32 deviceChannels = 0;
        for (UInt32 width : c.deviceBuffers) {
            deviceChannels += width;
        }
        Client client{{48000, c.clientChannels, c.interleaved, 48000, deviceChannels, 4096, 64}};
        auto converter = makeConverter(client);
        ASSERT_TRUE(converter);
        DeviceBuffers out(c.deviceBuffers, 64);
        ASSERT_TRUE(converter->render(64, 0, out.list));
        for (UInt32 f = 0; f < 64; ++f) {
            UInt32 channel = 0;
            for (std::size_t b = 0; b < c.deviceBuffers.size(); ++b) {
                for (UInt32 j = 0; j < c.deviceBuffers[b]; ++j, ++channel) {
                    float expected = channel < c.clientChannels ? Client::value(f, channel) : 0.0f;
                    if (deviceChannels == 1) {
                        expected = 0.0f;
                        for (UInt32 k = 0; k < c.clientChannels; ++k) {
                            expected += Client::value(f, k) / static_cast<float>(c.clientChannels);
                        }
                    }
                    ASSERT_FLOAT_EQ(out.samples[b][f * c.deviceBuffers[b] + j], expected) << f << " " << channel;
                }
            }
        }
    }
}

TEST(OutputConverter, AFailedOrSilentRenderSilencesItsWholeCycleOnly) {
    for (const double deviceRate : {48000.0, 44100.0}) {
        for (const bool fail : {true, false}) {
            SCOPED_TRACE(testing::Message() << deviceRate << (fail ? " error" : " silence flag"));
            Client client{{48000, 2, true, deviceRate, 2, 256, 512}};  // two or three render calls per cycle
            auto converter = makeConverter(client);
            ASSERT_TRUE(converter);
            DeviceBuffers out({2}, 512);
            for (int i = 0; i < 20; ++i) {
                ASSERT_TRUE(converter->render(512, 0, out.list));
            }
            (fail ? client.failCall : client.silentCall) = client.calls + 1;
            EXPECT_FALSE(converter->render(512, 0, out.list));
            EXPECT_TRUE(out.silent());
            for (int i = 0; i < 20; ++i) {
                converter->render(512, 0, out.list);
            }
            EXPECT_TRUE(converter->render(512, 0, out.list));
            EXPECT_FALSE(out.silent());
        }
    }
}

TEST(OutputConverter, SteadyRenderingAllocatesNothingNotEvenInsideLibsoxr) {
    for (const double deviceRate : {44100.0, 48000.0, 96000.0, 8000.0}) {
        SCOPED_TRACE(deviceRate);
        Client client{{48000, 2, false, deviceRate, 2, 4096, 512}};
        auto converter = makeConverter(client);
        ASSERT_TRUE(converter);
        DeviceBuffers out({2}, 1024);
        test::AllocationCounter counter;
        for (UInt32 i = 0; i < 4000; ++i) {
            // Mostly the usual cycle, now and then a shorter or a longer one.
            converter->render(i % 50 == 7 ? 1024 : i % 30 == 3 ? 100 : 512, i, out.list);
        }
        EXPECT_EQ(counter.count(), 0u);
    }
}

}  // namespace
}  // namespace velunto
