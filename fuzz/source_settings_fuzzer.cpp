// Parsing the operator's banner input. Input layout: 8 bytes of stored poll seconds (little-endian, signed),
// 1 byte whose lowest bit is the QR setting, then the URL text; missing bytes count as 0.

#include "fuzz_check.hpp"
#include "metadata/service_urls.hpp"
#include "plugin/banner_input.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace {

using kelvara::BannerInputKind;
using kelvara::SourceSettings;

constexpr std::size_t kHeaderBytes = 9;

bool is_known_message(const std::string& message) {
    return message == kelvara::usage_message() || message == kelvara::kBannerIdMessage ||
           message == kelvara::kRevisionRangeMessage;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint64_t raw_poll = 0;
    for (std::size_t i = 0; i < 8 && i < size; ++i) {
        raw_poll |= std::uint64_t{data[i]} << (8 * i);
    }
    const auto poll_seconds = static_cast<std::int64_t>(raw_poll);
    const bool qr_enabled = size > 8 && (data[8] & 1) != 0;
    const std::string url = size > kHeaderBytes
                                ? std::string(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes)
                                : std::string();

    const SourceSettings settings = kelvara::parse_source_settings(url, poll_seconds, qr_enabled);
    FUZZ_CHECK(settings.poll_seconds >= 60 && settings.poll_seconds <= 3600);
    FUZZ_CHECK(settings.poll_seconds == std::clamp<std::int64_t>(poll_seconds, 60, 3600));
    FUZZ_CHECK(settings.qr_enabled == qr_enabled);

    switch (settings.input_kind) {
    case BannerInputKind::invalid:
        FUZZ_CHECK(is_known_message(settings.validation_message));
        FUZZ_CHECK(kelvara::banner_page_url(settings).empty());
        FUZZ_CHECK(!kelvara::is_valid_banner_id(url));
        return 0;
    case BannerInputKind::banner:
        FUZZ_CHECK(settings.revision == 0);
        break;
    case BannerInputKind::banner_revision:
        FUZZ_CHECK(settings.revision != 0);
        break;
    default:
        FUZZ_CHECK(false);
    }
    FUZZ_CHECK(kelvara::is_valid_banner_id(settings.banner_id));
    FUZZ_CHECK(settings.validation_message.empty());
    if (kelvara::is_valid_banner_id(url)) {
        FUZZ_CHECK(settings.banner_id == url && settings.input_kind == BannerInputKind::banner);
    }

    // The banner's page URL, and the revision URL for a pinned input, read back as the same settings.
    const std::string page = kelvara::banner_page_url(settings);
    FUZZ_CHECK(page == kelvara::banner_url(settings.banner_id));
    const std::string again = settings.input_kind == BannerInputKind::banner_revision
                                  ? kelvara::banner_revision_url(settings.banner_id, settings.revision)
                                  : page;
    FUZZ_CHECK(kelvara::parse_source_settings(again, poll_seconds, qr_enabled) == settings);
    return 0;
}
