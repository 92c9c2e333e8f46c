#include "core/log.hpp"
#include "output/decode_worker.hpp"
#include "test_fixtures/png_files.hpp"
#include "test_fixtures/revisions.hpp"

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

// What the log sink and the frame maker, plain functions called on the worker thread, record.
std::mutex mutex;
Log logged;
std::vector<std::uint64_t> started; // the generations the frame maker started, in order
std::atomic<bool> held = false;     // while set, the frame maker waits inside its "decode" to be overtaken

template <typename T>
T locked(const T& value) {
    std::lock_guard lock(mutex);
    return value;
}

void log_sink(LogLevel level, const char* line) {
    std::lock_guard lock(mutex);
    logged.emplace_back(level, line);
}

// The frame's only pixel carries the generation.
std::optional<RgbaImage> gated_frame(const DecodeJob& job) {
    std::unique_lock lock(mutex);
    started.push_back(job.generation);
    lock.unlock();
    eventually([] { return !held; });
    auto image = RgbaImage::allocate(1, 1);
    std::fill_n(image.pixels.get(), 4, static_cast<std::uint8_t>(job.generation));
    return image;
}

// Textures: heap cells with their frame's first byte, so sanitizers see a bad destroy; never on the worker thread.
int created = 0, destroyed = 0, graphics_entered = 0;
bool fail_create = false;

void* create_texture(void*, std::uint32_t, std::uint32_t, const std::uint8_t* rgba) {
    return fail_create ? nullptr : (++created, new std::uint8_t(rgba[0]));
}

void destroy_texture(void*, void* texture) {
    ++destroyed;
    delete static_cast<std::uint8_t*>(texture);
}

const TextureBackend kGraphics{nullptr, create_texture, destroy_texture, [](void*) { ++graphics_entered; },
                               [](void*) {}};

int drawn_generation(const std::optional<DrawableTexture>& texture) {
    return texture ? *static_cast<std::uint8_t*>(texture->texture) : -1;
}

struct DecodeWorkerTest : ::testing::Test {
    DecodeWorker worker{kGraphics, gated_frame};
    const std::optional<RenderRevision> revision = test::make_revision("abc", 1);

    DecodeWorkerTest() {
        created = destroyed = graphics_entered = 0;
        fail_create = false;
        logged = {};
        hold(false);
        set_log_sink(log_sink);
    }
    ~DecodeWorkerTest() override { set_log_sink(nullptr); }
    static void hold(bool hold) {
        std::lock_guard lock(mutex);
        started.clear();
        held = hold;
    }
    // Submits the job of `generation` and waits until its decode starts, held there until `held` is cleared.
    bool submit_held(std::uint64_t generation) {
        hold(true);
        worker.submit(revision, false, "");
        return eventually([&] { return !locked(started).empty() && locked(started).back() == generation; });
    }
};

// An overtaken job is dropped, an overtaken frame thrown away, and an empty submission clears at once.
TEST_F(DecodeWorkerTest, OnlyTheNewestSubmissionCounts) {
    ASSERT_TRUE(submit_held(1));
    for (int i = 0; i < 3; ++i) {
        worker.submit(revision, false, "");
    }
    held = false;
    ASSERT_TRUE(eventually([&] { return drawn_generation(worker.update_texture()) == 4; }));
    EXPECT_EQ(locked(started), (std::vector<std::uint64_t>{1, 4}));
    EXPECT_EQ(created, 1);

    ASSERT_TRUE(submit_held(5));
    worker.submit(revision, false, ""); // pending, then dropped by the empty submission
    worker.submit(std::nullopt, false, "");
    held = false;
    EXPECT_FALSE(worker.update_texture());
    EXPECT_EQ(destroyed, 1);
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(worker.update_texture()); // the overtaken frame never arrives
    EXPECT_EQ(locked(started), (std::vector<std::uint64_t>{5}));
}

TEST_F(DecodeWorkerTest, TextureIsReplacedOnlyByAnUploadedFrame) {
    EXPECT_FALSE(worker.update_texture()); // nothing delivered yet
    worker.submit(revision, false, "");
    ASSERT_TRUE(eventually([&] { return drawn_generation(worker.update_texture()) == 1; }));
    ASSERT_TRUE(submit_held(2));
    EXPECT_EQ(drawn_generation(worker.update_texture()), 1);
    held = false;
    ASSERT_TRUE(eventually([&] { return drawn_generation(worker.update_texture()) == 2; }));
    EXPECT_EQ(destroyed, 1);

    fail_create = true;
    worker.submit(revision, false, "");
    ASSERT_TRUE(eventually([&] { return drawn_generation(worker.update_texture()) == 2 && !locked(logged).empty(); }));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(locked(logged), (Log{{LogLevel::error, "[kelvara] Cannot upload approved banner texture"}}));
}

TEST_F(DecodeWorkerTest, StopAbandonsPendingJobsAndDestroysTheTextureOnce) {
    worker.submit(revision, false, "");
    ASSERT_TRUE(eventually([&] { return worker.update_texture().has_value(); }));
    ASSERT_TRUE(submit_held(2));
    worker.submit(revision, false, ""); // pending when stop comes
    std::thread stopping([&] { worker.stop(); });
    std::this_thread::sleep_for(20ms);
    held = false;
    stopping.join();
    worker.stop();
    worker.submit(revision, false, "");
    EXPECT_EQ(locked(started), (std::vector<std::uint64_t>{2}));
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(graphics_entered, 1);
}

TEST_F(DecodeWorkerTest, SourcesShareTwoThreadsAndAStoppedSourcesJobIsDropped) {
    ASSERT_TRUE(submit_held(1));
    DecodeWorker second{kGraphics, gated_frame}, third{kGraphics, gated_frame};
    second.submit(revision, false, "");
    ASSERT_TRUE(eventually([] { return locked(started).size() == 2; }));
    third.submit(revision, false, "");
    std::this_thread::sleep_for(20ms);
    third.stop();
    held = false;
    ASSERT_TRUE(eventually([&] { return worker.update_texture() && second.update_texture(); }));
    EXPECT_EQ(locked(started).size(), 2u);
}

TEST_F(DecodeWorkerTest, UndecodablePngIsReportedOnceAndTheBannerStays) {
    DecodeWorker decoding(kGraphics);
    const auto png = test::encode_rgba_png(4, 2, std::vector<std::uint8_t>(4 * 2 * 4, 7));
    auto banner = *revision;
    banner.image_bytes = ImageBytes(png);
    decoding.submit(banner, false, "");
    ASSERT_TRUE(eventually([&] { return decoding.update_texture().has_value(); }));
    banner.image_bytes = ImageBytes(std::vector<std::uint8_t>(png.begin(), png.end() - 20));
    decoding.submit(banner, false, "");
    ASSERT_TRUE(eventually([&] { return !locked(logged).empty(); }));
    EXPECT_EQ(drawn_generation(decoding.update_texture()), 7);
    EXPECT_EQ(locked(logged), (Log{{LogLevel::warning, "[kelvara] Approved PNG decode failed"}}));
}

} // namespace
} // namespace kelvara
