#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace kelvara {

// Why "Load & Preview" found no candidate to show.
enum class MissingPreview { not_ready, up_to_date, unreachable };

// What the review side (the announcement of a candidate, the preview dialog, "Load & Preview") may ask of a
// source, and nothing more: no lock, engine or host object crosses. The source implements it; the review
// side reaches it only through a ReviewGate, which answers for a source that is going away.
class ReviewTarget {
public:
    // The candidate, when it can be reviewed now: discovery has caught up and nothing waits for the disk.
    virtual std::optional<RenderRevision> ready_candidate() = 0;
    // Whether revision `revision` is still the candidate, ready for review or not.
    virtual bool holds_candidate(std::uint64_t revision) = 0;
    // The line above the preview: which source asks, by its name in the host, and for which banner.
    virtual std::string preview_heading(const RenderRevision& candidate) = 0;
    // The operator's decision on candidate `revision`, carried out only while it is the ready candidate. True
    // when the state changed; a failed save throws its exception and changes nothing.
    virtual bool accept_if_current(std::uint64_t revision) = 0;
    virtual bool reject_if_current(std::uint64_t revision) = 0;
    // Asks the service again at once; a failed save throws.
    virtual bool retry_discovery() = 0;
    // Discovery has answered since it was restarted, and nothing is left to wait for.
    virtual bool discovery_caught_up() = 0;
    virtual MissingPreview missing_preview_reason() = 0;
    // The banner input names a banner.
    virtual bool has_valid_input() = 0;

protected:
    ~ReviewTarget() = default;
};

} // namespace kelvara
