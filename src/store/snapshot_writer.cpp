#include "store/snapshot_writer.hpp"

#include "core/shared_instance.hpp"
#include "store/snapshot_file.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace kelvara {

SnapshotWriteThread::SnapshotWriteThread() : thread_([this] { run(); }) {}

SnapshotWriteThread::~SnapshotWriteThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_arrived_.notify_one();
    thread_.join();
}

void SnapshotWriteThread::schedule(SnapshotWriter& writer) {
    {
        std::lock_guard lock(mutex_);
        ready_.push_back(&writer);
    }
    work_arrived_.notify_one();
}

void SnapshotWriteThread::unschedule(SnapshotWriter& writer) {
    std::unique_lock lock(mutex_);
    ready_.erase(std::remove(ready_.begin(), ready_.end(), &writer), ready_.end());
    writer_done_.wait(lock, [&] { return writing_for_ != &writer; });
}

void SnapshotWriteThread::release(std::vector<ImageBytes> images) {
    {
        std::lock_guard lock(mutex_);
        released_.insert(released_.end(), std::make_move_iterator(images.begin()),
                         std::make_move_iterator(images.end()));
    }
    work_arrived_.notify_one();
}

void SnapshotWriteThread::run() {
    run_as_background_work();
    std::unique_lock lock(mutex_);
    for (;;) {
        work_arrived_.wait(lock, [this] { return stopping_ || !ready_.empty() || !released_.empty(); });
        if (!released_.empty()) {
            std::vector<ImageBytes> dropped = std::exchange(released_, {});
            lock.unlock();
            dropped.clear();
            lock.lock();
            continue;
        }
        if (ready_.empty()) {
            return; // stopping, and every writer is gone
        }
        SnapshotWriter* writer = ready_.front();
        ready_.pop_front();
        // Begun under this lock, so that unschedule() finds the writer busy until the write has ended.
        std::optional<EngineState> state = writer->begin_write();
        if (!state) {
            continue; // written meanwhile by a caller that waited for it
        }
        writing_for_ = writer;
        lock.unlock();
        writer->write(std::move(*state));
        lock.lock();
        writing_for_ = nullptr;
        writer_done_.notify_all();
    }
}

SnapshotWriter::SnapshotWriter(StorePort& store, std::function<void()> on_written)
    : store_(store), on_written_(std::move(on_written)), thread_(shared_instance<SnapshotWriteThread>()) {}

SnapshotWriter::~SnapshotWriter() {
    stop();
}

void SnapshotWriter::save(const EngineState& state) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            throw std::logic_error("snapshot writer stopped");
        }
        if (queued_ || writing_ || result_) {
            throw std::logic_error("snapshot writer busy");
        }
        queued_ = state;
    }
    thread_->schedule(*this);
}

std::optional<std::exception_ptr> SnapshotWriter::take_result() {
    std::lock_guard lock(mutex_);
    has_result_.store(false, std::memory_order_release);
    return std::exchange(result_, std::nullopt);
}

std::optional<EngineState> SnapshotWriter::begin_write() {
    std::lock_guard lock(mutex_);
    if (!queued_ || writing_) {
        return std::nullopt;
    }
    writing_ = true;
    return std::exchange(queued_, std::nullopt);
}

void SnapshotWriter::write(EngineState state) noexcept {
    std::exception_ptr error;
    try {
        store_.save(state);
    } catch (...) {
        error = std::current_exception();
    }
    // This may be the last copy of an image: the write thread gives its memory back, off every lock.
    std::vector<ImageBytes> images;
    for (auto* revision : {&state.approved, &state.candidate}) {
        if (*revision) {
            images.push_back(std::move((*revision)->image_bytes));
        }
    }
    thread_->release(std::move(images));
    {
        std::lock_guard lock(mutex_);
        writing_ = false;
        result_ = error;
        has_result_.store(true, std::memory_order_release);
    }
    work_done_.notify_all();
    if (on_written_) {
        on_written_();
    }
}

void SnapshotWriter::wait() {
    if (auto state = begin_write()) {
        write(std::move(*state));
    }
    std::unique_lock lock(mutex_);
    work_done_.wait(lock, [this] { return !queued_ && !writing_; });
}

void SnapshotWriter::release(std::vector<ImageBytes> images) {
    thread_->release(std::move(images));
}

void SnapshotWriter::stop() {
    std::lock_guard stopping(stop_mutex_);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            return;
        }
        stopping_ = true;
    }
    thread_->unschedule(*this);
    if (auto state = begin_write()) {
        write(std::move(*state));
    }
}

} // namespace kelvara
