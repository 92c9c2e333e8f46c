// Approved PNG to ready frame through the decode worker, against a bare decode with the same decoder and
// against Qt's reader and conversion, all in one run.
#include "output/decode_worker.hpp"
#include "support/banner_png.hpp"
#include "support/goals.hpp"
#include "test_fixtures/revisions.hpp"

#include <QtGui/QImage>
#include <QtGui/QImageReader>

#include <spng.h>

#include <map>
#include <memory>
#include <string>
#include <thread>

namespace kelvara::bench {
namespace {

constexpr std::uint32_t kSides[] = {1024, 4096, 8192};

const std::vector<std::uint8_t>& banner_png(std::uint32_t side) {
    static std::map<std::uint32_t, std::vector<std::uint8_t>> cache;
    auto& png = cache[side];
    if (png.empty()) {
        png = block_noise_png(side, side, side);
    }
    return png;
}

// Uploads nothing; counts the frames that reached the graphics side.
struct CountingGraphics {
    int uploads = 0;
    int texture = 0;
    TextureBackend backend() {
        TextureBackend b;
        b.context = this;
        b.create = [](void* self, std::uint32_t, std::uint32_t, const std::uint8_t* rgba) -> void* {
            ::benchmark::DoNotOptimize(rgba);
            auto& graphics = *static_cast<CountingGraphics*>(self);
            ++graphics.uploads;
            return &graphics.texture;
        };
        b.destroy = [](void*, void*) {};
        return b;
    }
};

void BM_Worker(::benchmark::State& bench, std::uint32_t side, bool qr) {
    auto revision = test::make_revision("abc", 1);
    revision.image_bytes = ImageBytes(banner_png(side));
    CountingGraphics graphics;
    DecodeWorker worker(graphics.backend());
    for (auto _ : bench) {
        const int before = graphics.uploads;
        worker.submit(revision, qr, "https://kelvara.com/banner/abc");
        while (graphics.uploads == before) {
            worker.update_texture();
            std::this_thread::yield();
        }
    }
}

void BM_BareDecode(::benchmark::State& bench, std::uint32_t side) {
    const auto& png = banner_png(side);
    for (auto _ : bench) {
        spng_ctx* context = spng_ctx_new(0);
        spng_set_png_buffer(context, png.data(), png.size());
        std::size_t size = 0;
        spng_decoded_image_size(context, SPNG_FMT_RGBA8, &size);
        auto pixels = allocate_pixels(size); // the same memory the worker decodes into
        if (spng_decode_image(context, pixels.get(), size, SPNG_FMT_RGBA8, SPNG_DECODE_TRNS) != 0) {
            bench.SkipWithError("bare decode failed");
        }
        ::benchmark::DoNotOptimize(pixels.get());
        spng_ctx_free(context);
    }
}

void BM_QtDecode(::benchmark::State& bench, std::uint32_t side) {
    const auto& png = banner_png(side);
    const auto bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(png.data()), qsizetype(png.size()));
    for (auto _ : bench) {
        const QImage image = QImage::fromData(bytes, "PNG").convertToFormat(QImage::Format_RGBA8888);
        if (image.isNull()) {
            bench.SkipWithError("Qt decode failed");
        }
        ::benchmark::DoNotOptimize(image.constBits());
    }
}

std::string name(const char* kind, std::uint32_t side) {
    return std::string(kind) + "/" + std::to_string(side);
}

void register_benchmarks() {
    for (const auto side : kSides) {
        const int repetitions = side == 8192 ? 5 : 9;
        for (const auto& [kind, qr] : {std::pair{"worker", false}, std::pair{"worker_qr", true}}) {
            ::benchmark::RegisterBenchmark(name(kind, side).c_str(), BM_Worker, side, qr)
                ->Unit(::benchmark::kMillisecond)
                ->UseRealTime()
                ->Repetitions(repetitions);
        }
        ::benchmark::RegisterBenchmark(name("bare", side).c_str(), BM_BareDecode, side)
            ->Unit(::benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(repetitions);
        ::benchmark::RegisterBenchmark(name("qt", side).c_str(), BM_QtDecode, side)
            ->Unit(::benchmark::kMillisecond)
            ->UseRealTime()
            ->Repetitions(repetitions);
    }
}

} // namespace
} // namespace kelvara::bench

int main(int argc, char** argv) {
    using namespace kelvara::bench;
    // This program is its own process, so it may lift Qt's image allocation limit, which 8192 x 8192
    // images exceed; the module itself never touches it.
    QImageReader::setAllocationLimit(0);
    for (const auto side : kSides) {
        std::printf("banner %u x %u: PNG of %zu bytes\n", side, side, banner_png(side).size());
    }
    register_benchmarks();
    CollectingReporter reporter;
    run_all(argc, argv, reporter);
    const auto median = [&](const char* kind, std::uint32_t side) {
        const int repetitions = side == 8192 ? 5 : 9;
        return reporter.median_ns(name(kind, side) + "/repeats:" + std::to_string(repetitions) + "/real_time");
    };
    for (const auto side : kSides) {
        const double worker = median("worker", side);
        const double bare = median("bare", side);
        const std::string suffix = std::to_string(side);
        report_goal("decode_" + suffix + "_vs_bare", bare > 0 ? worker / bare : 0.0, "<=", 1.2);
        const double worker_qr = median("worker_qr", side);
        std::printf("REPORT decode_%u_with_qr_vs_bare %.3f\n", side, bare > 0 ? worker_qr / bare : 0.0);
        const double qt = median("qt", side);
        if (side == 8192) {
            report_goal("decode_8192_qt_over_ours", worker > 0 ? qt / worker : 0.0, ">=", 1.5);
        } else {
            std::printf("REPORT decode_%u_qt_over_ours %.3f\n", side, worker > 0 ? qt / worker : 0.0);
        }
    }
    return 0;
}
