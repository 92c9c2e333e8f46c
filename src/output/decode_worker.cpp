#include "output/decode_worker.hpp"

#include "core/log.hpp"
#include "core/shared_instance.hpp"
#include "output/frame_composer.hpp"

#include <algorithm>
#include <utility>

namespace kelvara {

std::optional<RgbaImage> make_banner_frame(const DecodeJob& job) {
    return compose_banner_frame(job.png.span(), job.qr_enabled, job.qr_text);
}

DecodePool::~DecodePool() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_arrived_.notify_all();
    for (auto& thread : threads_) {
        thread.join();
    }
}

bool DecodePool::decoding(const DecodeWorker* worker) const {
    return std::find(decoding_for_.begin(), decoding_for_.end(), worker) != decoding_for_.end();
}

void DecodePool::schedule(DecodeWorker& worker) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(&worker);
        // A worker's own newer job waits for its running decode, which it would only overtake.
        if (idle_ == 0 && threads_.size() < kMaxThreads && !decoding(&worker)) {
            threads_.emplace_back([this] { run(); });
            ++idle_;
        }
    }
    work_arrived_.notify_one();
}

void DecodePool::unschedule(DecodeWorker& worker) {
    std::unique_lock lock(mutex_);
    ready_.erase(std::remove(ready_.begin(), ready_.end(), &worker), ready_.end());
    worker_done_.wait(lock, [&] { return !decoding(&worker); });
}

void DecodePool::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        auto next = ready_.end();
        work_arrived_.wait(lock, [&] {
            next = std::find_if(ready_.begin(), ready_.end(), [this](const DecodeWorker* w) { return !decoding(w); });
            return stopping_ || next != ready_.end();
        });
        if (next == ready_.end()) {
            return; // stopping, and every worker is gone
        }
        DecodeWorker* worker = *next;
        ready_.erase(next);
        // Taken under this lock, so that unschedule() finds the worker busy until the decode has ended.
        const std::optional<DecodeJob> job = worker->take_job();
        if (!job) {
            continue; // overtaken by an empty output, or taken already
        }
        --idle_;
        decoding_for_.push_back(worker);
        lock.unlock();
        worker->decode(*job);
        lock.lock();
        decoding_for_.erase(std::find(decoding_for_.begin(), decoding_for_.end(), worker));
        ++idle_;
        worker_done_.notify_all();
        work_arrived_.notify_all(); // the worker's newer job, if any, may go now
    }
}

DecodeWorker::DecodeWorker(TextureBackend backend, FrameMaker make_frame)
    : backend_(backend), make_frame_(make_frame), pool_(shared_instance<DecodePool>()) {}

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
        clear_requested_ = !approved;
        pending_job_.reset();
        if (!approved) {
            return;
        }
        pending_job_ = DecodeJob{generation_, approved->image_bytes, qr_enabled, qr_text};
    }
    pool_->schedule(*this);
}

std::optional<DecodeJob> DecodeWorker::take_job() {
    std::lock_guard lock(mutex_);
    return std::exchange(pending_job_, std::nullopt);
}

void DecodeWorker::decode(const DecodeJob& job) {
    std::optional<RgbaImage> image;
    try {
        image = make_frame_(job);
    } catch (const std::exception&) {
        image.reset(); // out of memory for the canvas: treated like an undecodable image
    }
    if (!image) {
        log_line(LogLevel::warning, "[kelvara] Approved PNG decode failed");
        return;
    }
    std::lock_guard lock(mutex_);
    if (!stopped_ && job.generation == generation_) {
        ready_frame_ = DecodedFrame{job.generation, std::move(*image)};
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
    pool_->unschedule(*this);
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
