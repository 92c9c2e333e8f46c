#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvara {

inline constexpr std::string_view kJsonContentType = "application/json";

// What the classification needs of a finished render-revisions reply, in plain values so that the network
// adapter fills it straight off the reply and tests build it by hand.
struct DiscoveryResponseView {
    std::int32_t status = 0;         // HTTP status; 0 when the reply carries none (transport failure)
    std::string url;                 // the reply's final URL, fully percent-encoded
    std::string content_type;        // the whole Content-Type value, empty when absent
    std::string body;                // at most 16384 bytes by the adapter's bound
    std::optional<std::string> etag; // the raw ETag value; absent when missing or empty
    bool redirected = false;         // the reply carries a redirect target
    bool reply_no_error = true;      // the reply ended without a network error (an HTTP error status is one)
};

// The same for a finished image reply.
struct ImageResponseView {
    std::int32_t status = 0;
    std::string url;
    std::string content_type;
    std::vector<std::uint8_t> body; // empty when the buffer overflowed or the reply was aborted
    bool redirected = false;
};

// A reply that ended with a network error while its status, if any, is below 400 was cut short in transport
// (closed or reset before its body was complete, or aborted): whatever arrived of it is no answer. Error
// statuses set a network error too; those replies are complete and keep the meaning of their status.
bool failed_in_transport(std::int32_t status, bool reply_no_error) noexcept;

// The outcome of a render-revisions reply that was neither cut off by the body limit nor aborted (those
// two are malformed and network_failure, decided by the adapter before it reads the view). `after` is the
// request's cursor. A `modified` result carries the decoded revision without image; the adapter must
// still download and validate the image before delivering it.
MetadataHttpOutcome classify_discovery_response(const DiscoveryResponseView& view, const DiscoveryRequest& request,
                                                std::uint64_t after);

// The revision carrying the downloaded image, with its size taken from the PNG header while both sides are
// still 0; nothing when the reply is not exactly the PNG that was asked for. Moves the view's body into
// the revision, so pass the view as an rvalue to avoid copying up to 16 MiB.
std::optional<RenderRevision> validate_image_response(ImageResponseView view, RenderRevision revision);

// The kind of an exchange whose image reply failed validation. `reply_no_error`: the reply ended without
// a network error (an HTTP error status counts as an error).
MetadataOutcomeKind image_failure_kind(std::int32_t status, bool reply_no_error) noexcept;

// The final outcome of an exchange whose render-revisions reply was `modified`: the same outcome with the
// image in its revision, or the failure kind with neither revision nor entity tag. An image reply that
// failed in transport is a network failure even when the part that arrived would pass validation.
MetadataHttpOutcome apply_image_response(MetadataHttpOutcome modified, ImageResponseView view, bool reply_no_error);

} // namespace kelvara
