#include "output/decode_worker.hpp"
#include "support/log_capture.hpp"
#include "support/png_files.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace kelvara {
namespace {

using namespace std::chrono_literals;

// Waits for a condition that another thread brings about, for at most five seconds.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Textures are heap cells holding the generation of the frame they were made from, so that a double or
// missing destroy shows up under the sanitizers.
struct FakeGraphics {
    int created = 0;
    int destroyed = 0;
    int graphics_entered = 0;
    bool fail_create = false;

    TextureBackend backend() {
        TextureBackend b;
        b.context = this;
        b.create = [](void* self, std::uint32_t, std::uint32_t, const std::uint8_t* rgba) -> void* {
            auto& graphics = *static_cast<FakeGraphics*>(self);
            if (graphics.fail_create) {
                return nullptr;
            }
            ++graphics.created;
            return new std::uint8_t(rgba[0]);
        };
        b.destroy = [](void* self, void* texture) {
            ++static_cast<FakeGraphics*>(self)->destroyed;
            delete static_cast<std::uint8_t*>(texture);
        };
        b.enter_graphics = [](void* self) { ++static_cast<FakeGraphics*>(self)->graphics_entered; };
        b.leave_graphics = [](void*) {};
        return b;
    }
};

// A frame maker that records which generations it was asked for and, while held, blocks inside the
// "decode" so that tests can overtake it. The frame's only pixel carries the generation.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::uint64_t> started;
    bool held = false;

    static Gate& instance() {
        static Gate gate;
        return gate;
    }
    static std::optional<RgbaImage> make(const DecodeJob& job) {
        Gate& gate = instance();
        std::unique_lock lock(gate.mutex);
        gate.started.push_back(job.generation);
        gate.changed.notify_all();
        gate.changed.wait(lock, [&] { return !gate.held; });
        auto image = RgbaImage::allocate(1, 1);
        std::fill_n(image.pixels.get(), 4, static_cast<std::uint8_t>(job.generation));
        return image;
    }
    void reset(bool hold) {
        std::lock_guard lock(mutex);
        started.clear();
        held = hold;
    }
    void release() {
        std::lock_guard lock(mutex);
        held = false;
        changed.notify_all();
    }
    bool wait_started(std::size_t count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [&] { return started.size() >= count; });
    }
    std::vector<std::uint64_t> started_copy() {
        std::lock_guard lock(mutex);
        return started;
    }
};

std::optional<RenderRevision> revision() {
    return test::make_revision("abc", 1);
}

int drawn_generation(const std::optional<DrawableTexture>& texture) {
    return texture ? *static_cast<std::uint8_t*>(texture->texture) : -1;
}

struct DecodeWorkerTest : ::testing::Test {
    FakeGraphics graphics;
    Gate& gate = Gate::instance();
    DecodeWorker worker{graphics.backend(), Gate::make};

    // Generation 1 decoded and uploaded: the texture every later step starts from.
    void draw_first_frame() {
        gate.reset(false);
        worker.submit(revision(), false, "");
        ASSERT_TRUE(eventually([&] { return worker.update_texture().has_value(); }));
    }
};

TEST_F(DecodeWorkerTest, BurstDecodesOnlyTheNewestAndDropsOvertakenFrames) {
    gate.reset(true);
    worker.submit(revision(), false, "");
    ASSERT_TRUE(gate.wait_started(1));
    for (int i = 0; i < 3; ++i) {
        worker.submit(revision(), false, "");
    }
    gate.release();
    std::optional<DrawableTexture> texture;
    ASSERT_TRUE(eventually([&] { return (texture = worker.update_texture()).has_value(); }));
    EXPECT_EQ(drawn_generation(texture), 4);
    EXPECT_EQ(gate.started_copy(), (std::vector<std::uint64_t>{1, 4}));
    EXPECT_EQ(graphics.created, 1); // the frame of generation 1 was thrown away on delivery
}

TEST_F(DecodeWorkerTest, EmptySubmissionClearsAndDropsPendingWork) {
    draw_first_frame();

    gate.reset(true);
    worker.submit(revision(), false, "");
    ASSERT_TRUE(gate.wait_started(1));
    worker.submit(revision(), false, ""); // pending, then dropped by the empty submission
    worker.submit(std::nullopt, false, "");
    gate.release();
    EXPECT_FALSE(worker.update_texture());
    EXPECT_EQ(graphics.destroyed, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(worker.update_texture()); // the overtaken frame never arrives
    EXPECT_EQ(gate.started_copy().size(), 1u);
}

TEST_F(DecodeWorkerTest, NewFrameReplacesTheTextureOnlyOnceUploaded) {
    draw_first_frame();
    gate.reset(true);
    worker.submit(revision(), false, "");
    EXPECT_EQ(drawn_generation(worker.update_texture()), 1); // still the old banner while decoding
    gate.release();
    ASSERT_TRUE(eventually([&] { return drawn_generation(worker.update_texture()) == 2; }));
    EXPECT_EQ(graphics.destroyed, 1);
}

TEST_F(DecodeWorkerTest, UploadFailureKeepsThePreviousTexture) {
    test::LogCapture log;
    EXPECT_FALSE(worker.update_texture()); // nothing delivered: nothing to draw, nothing logged
    draw_first_frame();
    graphics.fail_create = true;
    worker.submit(revision(), false, "");
    std::optional<DrawableTexture> texture;
    ASSERT_TRUE(eventually([&] {
        texture = worker.update_texture();
        return !log.taken().empty();
    }));
    EXPECT_EQ(drawn_generation(texture), 1);
    EXPECT_EQ(drawn_generation(worker.update_texture()), 1);
    EXPECT_EQ(log.taken(), (std::vector<std::pair<LogLevel, std::string>>{
                               {LogLevel::error, "[kelvara] Cannot upload approved banner texture"}}));
}

TEST_F(DecodeWorkerTest, StopAbandonsPendingJobsAndDestroysTheTextureOnce) {
    draw_first_frame();
    gate.reset(true);
    worker.submit(revision(), false, "");
    ASSERT_TRUE(gate.wait_started(1));
    worker.submit(revision(), false, ""); // pending when stop comes
    std::thread stopping([&] { worker.stop(); });
    std::this_thread::sleep_for(20ms);
    gate.release();
    stopping.join();
    worker.stop();
    worker.submit(revision(), false, "");
    EXPECT_EQ(gate.started_copy(), (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(graphics.destroyed, 1);
    EXPECT_EQ(graphics.graphics_entered, 1);
}

TEST_F(DecodeWorkerTest, UndecodablePngIsReportedOnceAndTheBannerStays) {
    test::LogCapture log;
    DecodeWorker decoding(graphics.backend());
    const auto png = test::encode_rgba_png(4, 2, std::vector<std::uint8_t>(4 * 2 * 4, 7));
    auto good = test::make_revision("abc", 1);
    good.image_bytes = ImageBytes(png);
    decoding.submit(good, false, "");
    ASSERT_TRUE(eventually([&] { return decoding.update_texture().has_value(); }));
    auto truncated = good;
    truncated.image_bytes = ImageBytes(std::vector<std::uint8_t>(png.begin(), png.end() - 20));
    decoding.submit(truncated, false, "");
    ASSERT_TRUE(eventually([&] { return !log.taken().empty(); }));
    EXPECT_EQ(drawn_generation(decoding.update_texture()), 7);
    EXPECT_EQ(log.taken(), (std::vector<std::pair<LogLevel, std::string>>{
                               {LogLevel::warning, "[kelvara] Approved PNG decode failed"}}));
}

} // namespace
} // namespace kelvara
