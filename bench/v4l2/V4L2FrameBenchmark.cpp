// Per-frame cost of the V4L2 paths at 1080p: turning a camera buffer into a pixel buffer, and
// writing a BGRA frame into the virtual camera.
#include <benchmark/benchmark.h>
#include <linux/videodev2.h>
#include <turbojpeg.h>

#include <memory>
#include <vector>

#include "platform/v4l2/V4L2FakeKernel.h"
#include "platform/v4l2/V4L2FrameDecoder.h"
#include "platform/v4l2/V4L2LoopbackOutput.h"

namespace {

using namespace velunto;

constexpr std::uint32_t kWidth = 1920, kHeight = 1080;

std::vector<std::uint8_t> photoLikeJPEG(int subsampling) {
    std::vector<std::uint8_t> bgra(std::size_t{kWidth} * kHeight * 4);
    for (std::uint32_t y = 0; y < kHeight; ++y)
        for (std::uint32_t x = 0; x < kWidth; ++x) {
            auto* pixel = &bgra[(std::size_t{y} * kWidth + x) * 4];
            pixel[0] = static_cast<std::uint8_t>(x / 8);
            pixel[1] = static_cast<std::uint8_t>(y / 5);
            pixel[2] = static_cast<std::uint8_t>((x + y) / 12);
            pixel[3] = 255;
        }
    tjhandle encoder = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    tjCompress2(encoder, bgra.data(), kWidth, 0, kHeight, TJPF_BGRA, &jpeg, &size, subsampling, 85, 0);
    std::vector<std::uint8_t> bytes(jpeg, jpeg + size);
    tjFree(jpeg);
    tjDestroy(encoder);
    return bytes;
}

void decodeMJPEG(benchmark::State& state) {
    const auto jpeg = photoLikeJPEG(static_cast<int>(state.range(0)));
    V4L2FrameDecoder decoder({V4L2_PIX_FMT_MJPEG, kWidth, kHeight, 0, 0, false});
    for (auto _ : state) {
        auto frame = decoder.decode(jpeg.data(), jpeg.size());
        benchmark::DoNotOptimize(frame.get());
    }
}
BENCHMARK(decodeMJPEG)->Arg(TJSAMP_420)->Arg(TJSAMP_422)->Unit(benchmark::kMillisecond);

void copyRaw(benchmark::State& state) {
    const auto pixelFormat = static_cast<std::uint32_t>(state.range(0));
    V4L2StreamFormat format{pixelFormat, kWidth, kHeight, 0, 0, false};
    format.bytesPerLine = pixelFormat == V4L2_PIX_FMT_YUYV ? kWidth * 2 : kWidth;
    format.sizeImage = pixelFormat == V4L2_PIX_FMT_YUYV ? kWidth * 2 * kHeight : kWidth * kHeight * 3 / 2;
    const auto bytes = V4L2FakeKernel::pattern(format, 1);
    V4L2FrameDecoder decoder(format);
    for (auto _ : state) {
        auto frame = decoder.decode(bytes.data(), bytes.size());
        benchmark::DoNotOptimize(frame.get());
    }
}
BENCHMARK(copyRaw)->Arg(V4L2_PIX_FMT_YUYV)->Arg(V4L2_PIX_FMT_NV12)->Unit(benchmark::kMillisecond);

void writeToVirtualCamera(benchmark::State& state) {
    auto kernel = std::make_shared<V4L2FakeKernel>();
    kernel->plug(V4L2FakeDevice::loopback("/dev/video9", "Velunto Kamera"));
    V4L2LoopbackOutput output(kernel);
    if (!output.open(kWidth, kHeight, 30)) {
        state.SkipWithError("no virtual camera");
        return;
    }
    std::shared_ptr<CVPixelBuffer> frame;
    CVPixelBuffer::create(kWidth, kHeight, kCVPixelFormatType_32BGRA, &frame);
    std::size_t frames = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(output.write(*frame));
        if (++frames % 64 == 0) {  // the fake keeps every frame; start over now and then
            state.PauseTiming();
            kernel->unplug("/dev/video9");
            kernel->plug(V4L2FakeDevice::loopback("/dev/video9", "Velunto Kamera"));
            output.open(kWidth, kHeight, 30);
            state.ResumeTiming();
        }
    }
}
BENCHMARK(writeToVirtualCamera)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
