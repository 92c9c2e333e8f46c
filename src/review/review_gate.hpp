#pragma once

#include "review/review_target.hpp"

#include <memory>
#include <mutex>

namespace kelvara {

// The review side's hold on a source. It forwards to the source until the source detaches it, when the
// source begins to go away (removed from the host, taken over by a new instance, or being destroyed); from
// then on it answers as a source with nothing to review and changes nothing. Whoever needs the source across
// an event loop (a dialog, a wait, a queued announcement) shares the gate, never the source: the gate
// outlives it. It also names the source in the preview registry.
//
// Thread-safe. A call holds the gate while it runs, so detach() waits for it: the source, and the host's
// object it reads, stay alive until the call has returned.
class ReviewGate final : public ReviewTarget, public std::enable_shared_from_this<ReviewGate> {
public:
    explicit ReviewGate(ReviewTarget& source) : source_(&source) {}
    ReviewGate(const ReviewGate&) = delete;
    ReviewGate& operator=(const ReviewGate&) = delete;

    // Cuts the gate from the source and closes the source's preview on the UI thread, deciding nothing.
    // Idempotent; any thread.
    void detach() noexcept;
    bool detached() const noexcept;

    std::optional<RenderRevision> ready_candidate() override;
    bool holds_candidate(std::uint64_t revision) override;
    std::string preview_heading(const RenderRevision& candidate) override;
    bool accept_if_current(std::uint64_t revision) override;
    bool reject_if_current(std::uint64_t revision) override;
    bool retry_discovery() override;
    bool discovery_caught_up() override;
    MissingPreview missing_preview_reason() override;
    bool has_valid_input() override;

private:
    // Calls `call` on the source, or returns `gone` once detached.
    template <typename Call, typename Result>
    Result forward(Call call, Result gone);

    mutable std::mutex mutex_;
    ReviewTarget* source_; // null once detached
};

} // namespace kelvara
