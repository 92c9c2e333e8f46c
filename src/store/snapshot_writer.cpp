#include "store/snapshot_writer.hpp"

#include "store/snapshot_file.hpp"

#include <stdexcept>
#include <utility>

namespace kelvara {

SnapshotWriter::SnapshotWriter(StorePort& store) : store_(store), thread_([this] { run(); }) {}

SnapshotWriter::~SnapshotWriter() {
    stop();
}

void SnapshotWriter::save(const EngineState& state) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        throw std::logic_error("snapshot writer stopped");
    }
    if (queued_ || writing_ || result_) {
        throw std::logic_error("snapshot writer busy");
    }
    queued_ = state;
    work_arrived_.notify_one();
}

std::optional<std::exception_ptr> SnapshotWriter::take_result() {
    std::lock_guard lock(mutex_);
    return std::exchange(result_, std::nullopt);
}

void SnapshotWriter::wait() {
    std::unique_lock lock(mutex_);
    work_done_.wait(lock, [this] { return !queued_ && !writing_; });
}

void SnapshotWriter::release(std::vector<ImageBytes> images) {
    std::lock_guard lock(mutex_);
    if (stopping_) {
        return; // dropped here, after all
    }
    released_.insert(released_.end(), std::make_move_iterator(images.begin()), std::make_move_iterator(images.end()));
    work_arrived_.notify_one();
}

void SnapshotWriter::stop() {
    // A second caller (a source destroyed while its successor retires it) waits until the thread has ended.
    std::lock_guard stopping(stop_mutex_);
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_arrived_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SnapshotWriter::run() {
    run_as_background_work();
    std::unique_lock lock(mutex_);
    for (;;) {
        work_arrived_.wait(lock, [this] { return queued_ || !released_.empty() || stopping_; });
        if (!released_.empty()) {
            std::vector<ImageBytes> dropped = std::move(released_);
            released_.clear();
            lock.unlock();
            dropped.clear();
            lock.lock();
            continue;
        }
        if (!queued_) {
            return; // stopping, and everything handed over is written
        }
        std::optional<EngineState> state = std::move(queued_);
        queued_.reset();
        writing_ = true;
        lock.unlock();
        std::exception_ptr error;
        try {
            store_.save(*state);
        } catch (...) {
            error = std::current_exception();
        }
        state.reset(); // without the lock: this may give the last copy of an image back to the system
        lock.lock();
        writing_ = false;
        result_ = error;
        work_done_.notify_all();
    }
}

} // namespace kelvara
