// Memory and time of composing banners, in a process of its own: first a small banner hiding a compressed
// text chunk that inflates to 1 GiB, then the peak resident memory of one 8192 x 8192 decode and QR
// composition against the size of the composed canvas.
#include "output/frame_composer.hpp"
#include "support/banner_png.hpp"
#include "support/goals.hpp"

#include <sys/resource.h>

#include <chrono>
#include <cstdio>

namespace {

double peak_rss_mib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// The output never reads text, so such a banner must cost what its 64 x 64 pixels cost. The peak resident
// memory of the whole process (program, PNG and compose) bounds the memory the compose added.
void measure_huge_text_chunk() {
    using namespace kelvara;
    const auto png = test::with_chunk_after_header(bench::block_noise_png(64, 64, 64), "zTXt",
                                                   bench::named_zlib_data("Comment", bench::zlib_zeros(1024)));
    const double before = peak_rss_mib();
    const auto start = std::chrono::steady_clock::now();
    const bool composed = compose_banner_frame(png, true, "https://kelvara.com/banner/abc").has_value();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    const double peak = peak_rss_mib();
    std::printf("banner 64 x 64 with a zTXt chunk inflating to 1 GiB, PNG %.2f MiB: %s in %.1f ms, peak RSS %.1f MiB "
                "(%.1f MiB before)\n",
                static_cast<double>(png.size()) / 1048576.0, composed ? "composed" : "refused", ms, peak, before);
    bench::report_goal("huge_ancillary_chunk_compose_ms", ms, "<", 100);
    bench::report_goal("huge_ancillary_chunk_peak_rss_mib", peak, "<", 64);
}

} // namespace

int main() {
    using namespace kelvara;
    measure_huge_text_chunk();
    const auto png = bench::block_noise_png(8192, 8192, 8192);
    const auto frame = compose_banner_frame(png, true, "https://kelvara.com/banner/abc");
    if (!frame) {
        std::puts("decode failed");
        return 1;
    }
    const double peak = peak_rss_mib() * 1048576.0;
    const double canvas = static_cast<double>(frame->size_bytes());
    std::printf("peak RSS %.1f MiB, canvas %u x %u = %.1f MiB, PNG %.1f MiB\n", peak / 1048576.0, frame->width,
                frame->height, canvas / 1048576.0, static_cast<double>(png.size()) / 1048576.0);
    bench::report_goal("peak_rss_over_canvas_8192", peak / canvas, "<=", 2.2);
    return 0;
}
