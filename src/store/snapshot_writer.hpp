#pragma once

#include "core/engine_state.hpp"
#include "core/ports.hpp"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace kelvara {

// Writes approval states through another store on a thread of its own, one at a time, so that an event
// raised on the host's graphics thread hands its new state over and returns at once. It is the store port
// of an engine in deferred save mode: the engine hands each state over through save(), and whoever raised
// the event collects the result here and reports it to the engine.
class SnapshotWriter final : public StorePort {
public:
    explicit SnapshotWriter(StorePort& store); // starts the thread; throws std::system_error when it cannot
    ~SnapshotWriter() override;
    SnapshotWriter(const SnapshotWriter&) = delete;
    SnapshotWriter& operator=(const SnapshotWriter&) = delete;

    // Hands a copy of the state to the thread and returns at once (the images are shared, not copied).
    // Throws std::logic_error while an earlier result is uncollected, and after stop().
    void save(const EngineState& state) override;

    // The result of the state handed over last, once written: a null pointer for success, the store's
    // exception otherwise. Nothing while the write runs or when nothing is left to collect.
    std::optional<std::exception_ptr> take_result();

    // Blocks until the state handed over last has been written; returns at once when none is being written.
    void wait();

    // Lets the thread drop these images. Giving back up to 16 MiB to the system can take a millisecond, which
    // the host's graphics thread, and whoever holds the source lock, must not spend.
    void release(std::vector<ImageBytes> images);

    // Lets a running write finish, then ends the thread; a state handed over but not yet started is still
    // written first. Later saves are refused. Idempotent, and safe to call from two threads at once: both
    // return once the thread has ended.
    void stop();

private:
    void run();

    StorePort& store_;
    std::mutex mutex_;
    std::condition_variable work_arrived_;
    std::condition_variable work_done_;
    std::optional<EngineState> queued_;
    std::vector<ImageBytes> released_;
    bool writing_ = false;
    std::optional<std::exception_ptr> result_;
    bool stopping_ = false;
    std::mutex stop_mutex_;
    std::thread thread_; // last: starts once everything above exists
};

} // namespace kelvara
