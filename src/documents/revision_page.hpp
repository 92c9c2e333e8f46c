#pragma once

#include "core/records.hpp"
#include "documents/json_reader.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace kelvara {

inline constexpr std::size_t kMaxRevisionPageBytes = 16384;

// What one render-revisions document says. `outcome` is one of modified, not_modified, not_found,
// moderated and malformed; `revision` is present exactly with modified, without image and size.
struct RevisionPage {
    MetadataOutcomeKind outcome = MetadataOutcomeKind::malformed;
    std::optional<RenderRevision> revision;

    friend bool operator==(const RevisionPage&, const RevisionPage&) = default;
};

// Checks the document strictly against the one schema the service uses; any departure is malformed.
// `banner_id` and `after` are what the request asked about. Never throws for bad input.
RevisionPage decode_revision_page(std::string_view body, std::string_view banner_id, std::uint64_t after);

// The single entry of a non-empty "successors" array, filled into `out` (whose other fields the caller has
// prepared). On false `out` may be partly filled; throw it away.
bool decode_revision_entry(const JsonValue& successors, std::string_view banner_id, std::uint64_t after,
                           RenderRevision& out);

// The outcome of an empty list for a banner that is not accessible: not_found, moderated or malformed.
MetadataOutcomeKind classify_unavailable_status(std::string_view status) noexcept;

} // namespace kelvara
