// Parsing the operator's banner input. Input layout: 8 bytes of stored poll seconds (little-endian, signed),
// 1 byte whose lowest bit is the QR setting, then the URL text; missing bytes count as 0.

#include "fuzz_check.hpp"
#include "metadata/banner_input.hpp"
#include "metadata/service_urls.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelvara;
    using enum BannerInputKind;
    std::uint64_t raw_poll = 0;
    for (std::size_t i = 0; i < 8 && i < size; ++i) {
        raw_poll |= std::uint64_t{data[i]} << (8 * i);
    }
    const auto poll_seconds = static_cast<std::int64_t>(raw_poll);
    const bool qr_enabled = size > 8 && (data[8] & 1) != 0;
    const std::string url = size > 9 ? std::string(reinterpret_cast<const char*>(data) + 9, size - 9) : "";

    const SourceSettings settings = parse_source_settings(url, poll_seconds, qr_enabled);
    FUZZ_CHECK(settings.poll_seconds == std::clamp<std::int64_t>(poll_seconds, 60, 3600));
    FUZZ_CHECK(settings.qr_enabled == qr_enabled);
    if (settings.input_kind == invalid) {
        FUZZ_CHECK(settings.validation_message != ValidationMessage::none);
        FUZZ_CHECK(banner_page_url(settings).empty() && !is_valid_banner_id(url));
        return 0;
    }
    FUZZ_CHECK(is_valid_banner_id(settings.banner_id) && settings.validation_message == ValidationMessage::none);
    FUZZ_CHECK((settings.revision != 0) == (settings.input_kind == banner_revision));
    FUZZ_CHECK(!is_valid_banner_id(url) || (settings.banner_id == url && settings.input_kind == banner));

    // The banner's page URL, and the revision URL for a pinned input, read back as the same settings.
    const std::string page = banner_page_url(settings);
    FUZZ_CHECK(page == banner_url(settings.banner_id));
    const std::string again =
        settings.input_kind == banner_revision ? banner_revision_url(settings.banner_id, settings.revision) : page;
    FUZZ_CHECK(parse_source_settings(again, poll_seconds, qr_enabled) == settings);
    return 0;
}
