#include "output/decode_worker.hpp"

#include "core/log.hpp"
#include "output/frame_composer.hpp"

namespace kelvara {

std::optional<RgbaImage> make_banner_frame(const DecodeJob& job) {
    return compose_banner_frame(job.png.span(), job.qr_enabled, job.qr_text);
}

DecodeWorker::DecodeWorker(TextureBackend backend, FrameMaker make_frame)
    : backend_(backend), make_frame_(make_frame), thread_([this] { run(); }) {}

DecodeWorker::~DecodeWorker() {
    stop();
}

void DecodeWorker::submit(const std::optional<RenderRevision>& approved, bool qr_enabled, const std::string& qr_text) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        ++generation_;
        ready_frame_.reset();
        if (!approved) {
            pending_job_.reset();
            clear_requested_ = true;
        } else {
            clear_requested_ = false;
            pending_job_ = DecodeJob{generation_, approved->image_bytes, qr_enabled, qr_text};
        }
    }
    wake_.notify_one();
}

void DecodeWorker::run() {
    for (;;) {
        DecodeJob job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopped_ || pending_job_.has_value(); });
            if (stopped_) {
                return; // a pending job is abandoned
            }
            job = std::move(*pending_job_);
            pending_job_.reset();
        }

        std::optional<RgbaImage> image;
        try {
            image = make_frame_(job);
        } catch (const std::exception&) {
            image.reset(); // out of memory for the canvas: treated like an undecodable image
        }
        if (!image) {
            log_line(LogLevel::warning, "[kelvara] Approved PNG decode failed");
            continue;
        }

        std::lock_guard lock(mutex_);
        if (!stopped_ && job.generation == generation_) {
            ready_frame_ = DecodedFrame{job.generation, std::move(*image)};
        }
    }
}

std::optional<DrawableTexture> DecodeWorker::update_texture() {
    bool clear = false;
    std::optional<DecodedFrame> frame;
    {
        std::lock_guard lock(mutex_);
        clear = clear_requested_;
        clear_requested_ = false;
        frame = std::move(ready_frame_);
        ready_frame_.reset();
    }
    if (clear) {
        destroy_texture();
    }
    if (frame) {
        const RgbaImage& image = frame->image;
        void* created = backend_.create(backend_.context, image.width, image.height, image.pixels.get());
        if (created == nullptr) {
            log_line(LogLevel::error, "[kelvara] Cannot upload approved banner texture");
        } else {
            destroy_texture();
            texture_ = {created, image.width, image.height};
        }
    }
    if (texture_.texture == nullptr) {
        return std::nullopt;
    }
    return texture_;
}

void DecodeWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        ++generation_;
        ready_frame_.reset();
        clear_requested_ = false;
        pending_job_.reset();
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (texture_.texture != nullptr) {
        if (backend_.enter_graphics) {
            backend_.enter_graphics(backend_.context);
        }
        destroy_texture();
        if (backend_.leave_graphics) {
            backend_.leave_graphics(backend_.context);
        }
    }
}

void DecodeWorker::destroy_texture() noexcept {
    if (texture_.texture != nullptr) {
        backend_.destroy(backend_.context, texture_.texture);
    }
    texture_ = {};
}

} // namespace kelvara
