#pragma once

#include "core/records.hpp"
#include "output/rgba_image.hpp"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

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

// Turns the newest approved revision into one RGBA frame on a thread of its own and hands it to the graphics
// thread as a texture. Only the newest request counts: a job overtaken before it starts is dropped, a frame
// overtaken while it is made is thrown away. The drawn texture stays until a newer frame replaces it, so a
// change of revision never blanks the output.
class DecodeWorker {
public:
    // Starts the thread; throws std::system_error when it cannot. Tests replace the frame maker to control
    // when a decode starts and ends.
    explicit DecodeWorker(TextureBackend backend, FrameMaker make_frame = make_banner_frame);
    ~DecodeWorker();
    DecodeWorker(const DecodeWorker&) = delete;
    DecodeWorker& operator=(const DecodeWorker&) = delete;

    // Asks for a frame of the approved revision, or for an empty output. Never waits for decoding.
    void submit(const std::optional<RenderRevision>& approved, bool qr_enabled, const std::string& qr_text);

    // Stops and joins the thread and destroys the texture. Later calls, and later submissions, do nothing.
    void stop();

    // Graphics thread: takes what the worker handed over, uploads a new frame or drops the texture, and
    // returns the texture to draw, if any.
    std::optional<DrawableTexture> update_texture();

private:
    void run();
    void destroy_texture() noexcept;

    TextureBackend backend_;
    FrameMaker make_frame_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<DecodeJob> pending_job_;
    std::uint64_t generation_ = 0;
    std::optional<DecodedFrame> ready_frame_;
    bool clear_requested_ = false;
    bool stopped_ = false;

    // Touched only on the graphics thread, and by stop() inside the graphics context.
    DrawableTexture texture_;

    std::thread thread_; // last: starts once everything above exists
};

} // namespace kelvara
