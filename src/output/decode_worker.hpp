#pragma once

#include "core/records.hpp"
#include "output/rgba_image.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kelvara {

// The graphics calls the worker needs, handed in so that the hand-over can run without a GPU.
// The module passes functions that call gs_texture_create / gs_texture_destroy and enter / leave the
// host's graphics context.
struct TextureBackend {
    void* context = nullptr;
    // A static RGBA texture holding the pixels, or null when it cannot be made.
    void* (*create)(void* context, std::uint32_t width, std::uint32_t height, const std::uint8_t* rgba) = nullptr;
    void (*destroy)(void* context, void* texture) = nullptr;
    // Bracket the texture's destruction in stop(), which runs outside the graphics thread.
    void (*enter_graphics)(void* context) = nullptr;
    void (*leave_graphics)(void* context) = nullptr;
};

struct DecodeJob {
    std::uint64_t generation = 0;
    ImageBytes png; // shares the approved revision's bytes; nobody writes to them
    bool qr_enabled = false;
    std::string qr_text;
};

struct DecodedFrame {
    std::uint64_t generation = 0;
    RgbaImage image;
};

// Makes the frame for one job: the composed banner, or nothing when the PNG cannot be decoded.
using FrameMaker = std::optional<RgbaImage> (*)(const DecodeJob& job);

std::optional<RgbaImage> make_banner_frame(const DecodeJob& job);

struct DrawableTexture {
    void* texture = nullptr;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

class DecodeWorker;

// At most two threads that turn the approved revisions of every source into frames, the sources in the order
// they asked, each source's newest job only. Started with the first worker of the process (the second thread
// once a job waits while the first is busy) and ended with the last worker.
class DecodePool {
public:
    static constexpr std::size_t kMaxThreads = 2;

    DecodePool() = default;
    ~DecodePool();
    DecodePool(const DecodePool&) = delete;
    DecodePool& operator=(const DecodePool&) = delete;

    // The worker has a job waiting. Throws std::system_error when no thread can start.
    void schedule(DecodeWorker& worker);
    // Forgets the worker; returns once no thread decodes for it, and never touches it again.
    void unschedule(DecodeWorker& worker);

private:
    void run();
    bool decoding(const DecodeWorker* worker) const; // mutex_ held

    std::mutex mutex_;
    std::condition_variable work_arrived_;
    std::condition_variable worker_done_;
    std::deque<DecodeWorker*> ready_;
    std::vector<const DecodeWorker*> decoding_for_;
    std::size_t idle_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

// One source's output: turns the newest approved revision into one RGBA frame on the decode pool and hands it
// to the graphics thread as a texture. Only the newest request counts: a job overtaken before it starts is
// dropped, a frame overtaken while it is made is thrown away. The drawn texture stays until a newer frame
// replaces it, so a change of revision never blanks the output.
class DecodeWorker {
public:
    // Tests replace the frame maker to control when a decode starts and ends.
    explicit DecodeWorker(TextureBackend backend, FrameMaker make_frame = make_banner_frame);
    ~DecodeWorker();
    DecodeWorker(const DecodeWorker&) = delete;
    DecodeWorker& operator=(const DecodeWorker&) = delete;

    // Asks for a frame of the approved revision, or for an empty output. Never waits for decoding.
    void submit(const std::optional<RenderRevision>& approved, bool qr_enabled, const std::string& qr_text);

    // Drops a waiting job, waits for one being decoded, and destroys the texture. Later calls, and later
    // submissions, do nothing.
    void stop();

    // Graphics thread: takes what the worker handed over, uploads a new frame or drops the texture, and
    // returns the texture to draw, if any.
    std::optional<DrawableTexture> update_texture();

private:
    friend class DecodePool;
    std::optional<DecodeJob> take_job();
    void decode(const DecodeJob& job);
    void destroy_texture() noexcept;

    TextureBackend backend_;
    FrameMaker make_frame_;
    std::shared_ptr<DecodePool> pool_;

    std::mutex mutex_;
    std::optional<DecodeJob> pending_job_;
    std::uint64_t generation_ = 0;
    std::optional<DecodedFrame> ready_frame_;
    bool clear_requested_ = false;
    bool stopped_ = false;

    // Touched only on the graphics thread, and by stop() inside the graphics context.
    DrawableTexture texture_;
};

} // namespace kelvara
