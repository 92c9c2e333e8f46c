#include "output/decode_worker.hpp"
#include "support/log_capture.hpp"
#include "support/png_files.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace kelvara {
namespace {

using namespace std::chrono_literals;
using Log = std::vector<std::pair<LogLevel, std::string>>;

// Waits for a condition that another thread brings about, for at most five seconds.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

// Textures are heap cells holding the first byte of their frame, so that a double or missing destroy shows
// up under the sanitizers.
struct FakeGraphics {
    int created = 0, destroyed = 0, graphics_entered = 0;
    bool fail_create = false;

    TextureBackend backend() {
        const auto create = [](void* self, std::uint32_t, std::uint32_t, const std::uint8_t* rgba) -> void* {
            auto& graphics = *static_cast<FakeGraphics*>(self);
            return graphics.fail_create ? nullptr : (++graphics.created, new std::uint8_t(rgba[0]));
        };
        const auto destroy = [](void* self, void* texture) {
            ++static_cast<FakeGraphics*>(self)->destroyed;
            delete static_cast<std::uint8_t*>(texture);
        };
        return {this, create, destroy, [](void* self) { ++static_cast<FakeGraphics*>(self)->graphics_entered; },
                [](void*) {}};
    }
};

// The frame maker: notes each generation it starts and, while held, waits inside the "decode" so that tests
// can overtake it. The frame's only pixel carries the generation.
struct Gate {
    static inline std::mutex mutex;
    static inline std::vector<std::uint64_t> started;
    static inline std::atomic<bool> held = false;

    static std::optional<RgbaImage> make(const DecodeJob& job) {
        {
            std::lock_guard lock(mutex);
            started.push_back(job.generation);
        }
        while (held) {
            std::this_thread::sleep_for(1ms);
        }
        auto image = RgbaImage::allocate(1, 1);
        std::fill_n(image.pixels.get(), 4, static_cast<std::uint8_t>(job.generation));
        return image;
    }
    static void reset(bool hold) {
        std::lock_guard lock(mutex);
        started.clear();
        held = hold;
    }
    static std::vector<std::uint64_t> started_so_far() {
        std::lock_guard lock(mutex);
        return started;
    }
    static bool wait_started(std::size_t count) {
        return eventually([&] { return started_so_far().size() >= count; });
    }
};

int drawn_generation(const std::optional<DrawableTexture>& texture) {
    return texture ? *static_cast<std::uint8_t*>(texture->texture) : -1;
}

struct DecodeWorkerTest : ::testing::Test {
    FakeGraphics graphics;
    DecodeWorker worker{graphics.backend(), Gate::make};
    const std::optional<RenderRevision> revision = test::make_revision("abc", 1);

    // Generation 1 decoded and uploaded: the texture every later step starts from.
    void draw_first_frame() {
        Gate::reset(false);
        worker.submit(revision, false, "");
        ASSERT_TRUE(eventually([&] { return worker.update_texture().has_value(); }));
    }
};

// A job overtaken before it starts is dropped, a frame overtaken while it is made is thrown away, and an
// empty submission clears the output at once.
TEST_F(DecodeWorkerTest, OnlyTheNewestSubmissionCounts) {
    Gate::reset(true);
    worker.submit(revision, false, "");
    ASSERT_TRUE(Gate::wait_started(1));
    for (int i = 0; i < 3; ++i) {
        worker.submit(revision, false, "");
    }
    Gate::held = false;
    std::optional<DrawableTexture> texture;
    ASSERT_TRUE(eventually([&] { return (texture = worker.update_texture()).has_value(); }));
    EXPECT_EQ(drawn_generation(texture), 4);
    EXPECT_EQ(Gate::started_so_far(), (std::vector<std::uint64_t>{1, 4}));
    EXPECT_EQ(graphics.created, 1);

    Gate::reset(true);
    worker.submit(revision, false, "");
    ASSERT_TRUE(Gate::wait_started(1));
    worker.submit(revision, false, ""); // pending, then dropped by the empty submission
    worker.submit(std::nullopt, false, "");
    Gate::held = false;
    EXPECT_FALSE(worker.update_texture());
    EXPECT_EQ(graphics.destroyed, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(worker.update_texture()); // the overtaken frame never arrives
    EXPECT_EQ(Gate::started_so_far(), (std::vector<std::uint64_t>{5}));
}

// A change of revision never blanks the output: the old texture stays while the new frame is decoded, and
// when it cannot be uploaded.
TEST_F(DecodeWorkerTest, TextureIsReplacedOnlyByAnUploadedFrame) {
    test::LogCapture log;
    EXPECT_FALSE(worker.update_texture()); // nothing delivered: nothing to draw, nothing logged
    draw_first_frame();
    Gate::reset(true);
    worker.submit(revision, false, "");
    EXPECT_EQ(drawn_generation(worker.update_texture()), 1);
    Gate::held = false;
    ASSERT_TRUE(eventually([&] { return drawn_generation(worker.update_texture()) == 2; }));
    EXPECT_EQ(graphics.destroyed, 1);

    graphics.fail_create = true;
    worker.submit(revision, false, "");
    std::optional<DrawableTexture> texture;
    ASSERT_TRUE(eventually([&] { return (texture = worker.update_texture(), !log.taken().empty()); }));
    EXPECT_EQ(drawn_generation(texture), 2);
    EXPECT_EQ(drawn_generation(worker.update_texture()), 2);
    EXPECT_EQ(graphics.destroyed, 1);
    EXPECT_EQ(log.taken(), (Log{{LogLevel::error, "[kelvara] Cannot upload approved banner texture"}}));
}

TEST_F(DecodeWorkerTest, StopAbandonsPendingJobsAndDestroysTheTextureOnce) {
    draw_first_frame();
    Gate::reset(true);
    worker.submit(revision, false, "");
    ASSERT_TRUE(Gate::wait_started(1));
    worker.submit(revision, false, ""); // pending when stop comes
    std::thread stopping([&] { worker.stop(); });
    std::this_thread::sleep_for(20ms);
    Gate::held = false;
    stopping.join();
    worker.stop();
    worker.submit(revision, false, "");
    EXPECT_EQ(Gate::started_so_far(), (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(graphics.destroyed, 1);
    EXPECT_EQ(graphics.graphics_entered, 1);
}

TEST_F(DecodeWorkerTest, UndecodablePngIsReportedOnceAndTheBannerStays) {
    test::LogCapture log;
    DecodeWorker decoding(graphics.backend());
    const auto png = test::encode_rgba_png(4, 2, std::vector<std::uint8_t>(4 * 2 * 4, 7));
    auto good = *revision;
    good.image_bytes = ImageBytes(png);
    decoding.submit(good, false, "");
    ASSERT_TRUE(eventually([&] { return decoding.update_texture().has_value(); }));
    auto truncated = good;
    truncated.image_bytes = ImageBytes(std::vector<std::uint8_t>(png.begin(), png.end() - 20));
    decoding.submit(truncated, false, "");
    ASSERT_TRUE(eventually([&] { return !log.taken().empty(); }));
    EXPECT_EQ(drawn_generation(decoding.update_texture()), 7);
    EXPECT_EQ(log.taken(), (Log{{LogLevel::warning, "[kelvara] Approved PNG decode failed"}}));
}

} // namespace
} // namespace kelvara
