#pragma once

#include "core/approval_engine.hpp"
#include "store/snapshot_writer.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

namespace kelvara {

// Who raised the change that is on its way to the disk, so that the result reaches the right place.
enum class SaveRaiser : std::uint8_t { discovery_answer, notification_claim, settings, caller };

struct FinishedSave {
    SaveRaiser raiser = SaveRaiser::caller;
    std::exception_ptr error; // null when the state was saved
};

// Carries a source's one pending change between its engine (in deferred save mode) and the snapshot writer
// that is the engine's store port, so that no thread holds the source lock while the disk works.
//
// The tick and the host's settings never wait: they raise an event, note who raised it, and come back on a
// later frame to finish the change once it is written. A caller that may block (the host's UI thread) runs
// its event through run_for_caller, which waits for the disk without the lock and returns the event's
// result or the failed save's exception, as a synchronous save would.
class EngineSaves {
public:
    EngineSaves(ApprovalEngine& engine, SnapshotWriter& writer) : engine_(engine), writer_(writer) {}

    // Lock held: notes who raised the engine's pending change, if the last event left one.
    void note_raiser(SaveRaiser raiser) noexcept;

    // Lock held: finishes a change that the tick or the settings raised once it is written, and returns it.
    // A caller's change is left to its caller.
    std::optional<FinishedSave> finish_written();

    // Raises `event` for a caller that may block. `lock` (of the source mutex, not held on entry) is taken
    // around the engine work only. Every change finished here, the caller's own and those others raised
    // and that were written meanwhile, is handed to `on_finished` with the lock held.
    bool run_for_caller(std::unique_lock<std::mutex>& lock, const std::function<bool(ApprovalEngine&)>& event,
                        const std::function<void(const FinishedSave&)>& on_finished);

private:
    void finish(bool saved);

    ApprovalEngine& engine_;
    SnapshotWriter& writer_;
    SaveRaiser raiser_ = SaveRaiser::caller;
};

// The text of a failed save's exception, for the log line that reports it.
const char* describe_failure(const std::exception_ptr& error) noexcept;

} // namespace kelvara
