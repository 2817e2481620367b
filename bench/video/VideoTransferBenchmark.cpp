// Pixel transfer cost per frame, each case next to a plain memcpy of its output size.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "platform/videotoolbox/VTPixelTransferSession.h"

namespace velunto {
namespace {

std::shared_ptr<CVPixelBuffer> makeFilled(std::size_t width, std::size_t height, OSType format, bool opaque = true) {
    std::shared_ptr<CVPixelBuffer> buffer;
    if (CVPixelBuffer::create(width, height, format, &buffer) != kCVReturnSuccess) {
        return nullptr;
    }
    // A gradient, so the scalers see real data rather than one flat colour.
    const std::size_t planes = buffer->planeCount() == 0 ? 1 : buffer->planeCount();
    for (std::size_t p = 0; p < planes; ++p) {
        auto* base = static_cast<std::uint8_t*>(buffer->baseAddressOfPlane(p));
        for (std::size_t y = 0; y < buffer->heightOfPlane(p); ++y) {
            for (std::size_t i = 0; i < buffer->bytesPerRowOfPlane(p); ++i) {
                const bool alpha = format == kCVPixelFormatType_32BGRA && i % 4 == 3;
                base[y * buffer->bytesPerRowOfPlane(p) + i] =
                    alpha && opaque ? 0xFF : static_cast<std::uint8_t>(16 + (i + y) % 200);
            }
        }
    }
    return buffer;
}

void transfer(benchmark::State& state, std::size_t sourceWidth, std::size_t sourceHeight, OSType sourceFormat,
              std::size_t destinationWidth, std::size_t destinationHeight, bool opaque = true) {
    auto source = makeFilled(sourceWidth, sourceHeight, sourceFormat, opaque);
    auto destination = makeFilled(destinationWidth, destinationHeight, kCVPixelFormatType_32BGRA);
    std::shared_ptr<VTPixelTransferSession> session;
    if (!source || !destination || VTPixelTransferSession::create(&session) != noErr) {
        state.SkipWithError("setup failed");
        return;
    }
    session->setScalingMode(kVTScalingMode_Letterbox);
    for (auto _ : state) {
        if (session->transferImage(*source, *destination) != noErr) {
            state.SkipWithError("transfer failed");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void copyOutputSize(benchmark::State& state, std::size_t width, std::size_t height) {
    std::vector<std::uint8_t> from(width * height * 4, 0x55);
    std::vector<std::uint8_t> to(width * height * 4);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), to.size());
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_Letterbox_NV12_1280x720_To_BGRA_1920x1080(benchmark::State& state) {
    transfer(state, 1280, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 1920, 1080);
}
void BM_Memcpy_BGRA_1920x1080(benchmark::State& state) {
    copyOutputSize(state, 1920, 1080);
}
void BM_Letterbox_BGRA_1920x1080_To_BGRA_1280x720(benchmark::State& state) {
    transfer(state, 1920, 1080, kCVPixelFormatType_32BGRA, 1280, 720);
}
void BM_Memcpy_BGRA_1280x720(benchmark::State& state) {
    copyOutputSize(state, 1280, 720);
}
// For reference: a source with varying alpha (scaled on its own plane), conversion alone, and a 4:3 camera fitted into
// a 16:9 frame with bars.
void BM_Letterbox_TranslucentBGRA_1920x1080_To_BGRA_1280x720(benchmark::State& state) {
    transfer(state, 1920, 1080, kCVPixelFormatType_32BGRA, 1280, 720, false);
}
void BM_Convert_NV12_1280x720_To_BGRA_1280x720(benchmark::State& state) {
    transfer(state, 1280, 720, kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange, 1280, 720);
}
void BM_Letterbox_YUYV_640x480_To_BGRA_1920x1080(benchmark::State& state) {
    transfer(state, 640, 480, kCVPixelFormatType_422YpCbCr8_yuvs, 1920, 1080);
}

BENCHMARK(BM_Letterbox_NV12_1280x720_To_BGRA_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_BGRA_1920x1080)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Letterbox_BGRA_1920x1080_To_BGRA_1280x720)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy_BGRA_1280x720)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Letterbox_TranslucentBGRA_1920x1080_To_BGRA_1280x720)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Convert_NV12_1280x720_To_BGRA_1280x720)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Letterbox_YUYV_640x480_To_BGRA_1920x1080)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace velunto

BENCHMARK_MAIN();
