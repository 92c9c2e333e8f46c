// Peak resident memory of one 8192 x 8192 decode and QR composition, in a process of its own, against the
// size of the composed canvas.
#include "output/frame_composer.hpp"
#include "support/banner_png.hpp"
#include "support/goals.hpp"

#include <sys/resource.h>

#include <cstdio>

int main() {
    using namespace kelvara;
    const auto png = bench::block_noise_png(8192, 8192, 8192);
    const auto frame = compose_banner_frame(png, true, "https://kelvara.com/banner/abc");
    if (!frame) {
        std::puts("decode failed");
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double peak = static_cast<double>(usage.ru_maxrss) * 1024.0;
    const double canvas = static_cast<double>(frame->size_bytes());
    std::printf("peak RSS %.1f MiB, canvas %u x %u = %.1f MiB, PNG %.1f MiB\n", peak / 1048576.0, frame->width,
                frame->height, canvas / 1048576.0, static_cast<double>(png.size()) / 1048576.0);
    bench::report_goal("peak_rss_over_canvas_8192", peak / canvas, "<=", 2.2);
    return 0;
}
