#pragma once

#include "core/engine_state.hpp"
#include "core/ports.hpp"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kelvara {

class SnapshotWriter;

// The one thread that writes the snapshots of every source in the background, a source at a time in the order
// they were handed over, and gives the memory of images nobody holds any more back to the system. Started with
// the first SnapshotWriter of the process and ended with the last one.
class SnapshotWriteThread {
public:
    SnapshotWriteThread(); // throws std::system_error when the thread cannot start
    ~SnapshotWriteThread();
    SnapshotWriteThread(const SnapshotWriteThread&) = delete;
    SnapshotWriteThread& operator=(const SnapshotWriteThread&) = delete;

    // The writer has a state to write.
    void schedule(SnapshotWriter& writer);
    // Forgets the writer; returns once the thread is not writing for it, and never touches it again.
    void unschedule(SnapshotWriter& writer);
    // Drops the images here. Giving back up to 16 MiB to the system can take a millisecond, which the host's
    // graphics thread, and whoever holds a source lock, must not spend.
    void release(std::vector<ImageBytes> images);

private:
    void run();

    std::mutex mutex_;
    std::condition_variable work_arrived_;
    std::condition_variable writer_done_;
    std::deque<SnapshotWriter*> ready_;
    std::vector<ImageBytes> released_;
    const SnapshotWriter* writing_for_ = nullptr;
    bool stopping_ = false;
    std::thread thread_; // last: starts once everything above exists
};

// One source's way to the disk: the store port of an engine in deferred save mode. The engine hands each state
// over through save(), which returns at once; the write thread writes it, and whoever raised the event collects
// the result here and reports it to the engine. A caller that waits for its state anyway (an operator's
// decision, a source's creation) writes it on its own thread instead, so it never waits for other sources'
// writes. The states of one source are written one at a time, never two at once.
class SnapshotWriter final : public StorePort {
public:
    // `on_written` runs, on any thread, once a state handed over is written.
    explicit SnapshotWriter(StorePort& store, std::function<void()> on_written = {});
    ~SnapshotWriter() override;
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Hands a copy of the state over and returns at once (the images are shared, not copied). Throws
    // std::logic_error while an earlier result is uncollected, and after stop().
    void save(const EngineState& state) override;

    // The result of the state handed over last, once written: a null pointer for success, the store's
    // exception otherwise. Nothing while the write runs or when nothing is left to collect.
    std::optional<std::exception_ptr> take_result();
    // Whether a result waits to be taken: one load, for a tick with nothing to do.
    bool has_result() const noexcept { return has_result_.load(std::memory_order_acquire); }

    // Returns once the state handed over last is written: here, unless the write thread has begun it.
    void wait();

    // Lets the write thread drop these images.
    void release(std::vector<ImageBytes> images);

    // Lets a running write finish, and writes a state handed over but not yet begun; later saves are refused.
    // Idempotent, and safe to call from two threads at once: both return once everything is written.
    void stop();

private:
    friend class SnapshotWriteThread;
    // The state handed over, taken for writing, if there is one and no write of it runs.
    std::optional<EngineState> begin_write();
    void write(EngineState state) noexcept;

    StorePort& store_;
    std::function<void()> on_written_;
    std::shared_ptr<SnapshotWriteThread> thread_;
    std::mutex mutex_;
    std::condition_variable work_done_;
    std::optional<EngineState> queued_;
    bool writing_ = false;
    std::optional<std::exception_ptr> result_;
    std::atomic<bool> has_result_{false}; // result_.has_value(), readable without the mutex
    bool stopping_ = false;
    std::mutex stop_mutex_; // a second stop() waits for the first
};

} // namespace kelvara
