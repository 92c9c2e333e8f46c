#include "banner_catalog.hpp"

#include <charconv>
#include <regex>

namespace kelvara::standin {
namespace {

constexpr const char* kOrigin = "https://kelvara.com";

const StandInRevision* first_after(const StandInBanner& banner, std::uint64_t after) {
    const StandInRevision* found = nullptr;
    for (const auto& revision : banner.revisions) {
        if (revision.number > after && (found == nullptr || revision.number < found->number)) {
            found = &revision;
        }
    }
    return found;
}

std::optional<std::uint64_t> parse_number(const std::string& text) {
    std::uint64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

const char* json_bool(bool value) {
    return value ? "true" : "false";
}

HttpAnswer not_found() {
    return HttpAnswer{404, "text/plain", {}, "not found"};
}

} // namespace

StandInBanner* BannerCatalog::find(const std::string& id) {
    const auto found = banners_.find(id);
    return found == banners_.end() ? nullptr : &found->second;
}

std::string BannerCatalog::page_document(const std::string& id, const StandInBanner& banner, std::uint64_t after) {
    const bool accessible = banner.status == "available";
    const StandInRevision* next = accessible ? first_after(banner, after) : nullptr;
    std::string successors = "[]";
    std::string next_after = "null";
    bool has_more = false;
    if (next != nullptr) {
        has_more = first_after(banner, next->number) != nullptr;
        const std::string number = std::to_string(next->number);
        const std::string page = std::string(kOrigin) + "/banner/" + id + "/render/" + number;
        successors = "[{\"renderRevision\":\"" + number + "\",\"latestPaintingSequence\":\"" +
                     std::to_string(next->painting_sequence) + "\",\"revisionPageUrl\":\"" + page +
                     "\",\"imageUrl\":\"" + page + "/image\",\"evaluationInstant\":\"2026-12-06T12:00:00Z\"," +
                     "\"classification\":{\"containsPaidArtwork\":" + json_bool(next->paid_artwork) +
                     ",\"containsFilterChange\":" + json_bool(next->filter_change) +
                     ",\"containsModeration\":" + json_bool(next->moderation) + "}}]";
        next_after = "\"" + number + "\"";
    }
    return "{\"schemaVersion\":2,\"bannerId\":\"" + id + "\",\"availability\":{\"status\":\"" + banner.status +
           "\",\"accessible\":" + json_bool(accessible) + "},\"successors\":" + successors +
           ",\"hasMore\":" + json_bool(has_more) + ",\"nextAfterRenderRevision\":" + next_after + "}";
}

std::string BannerCatalog::page_entity_tag(const std::string& id, const StandInBanner& banner, std::uint64_t after) {
    const StandInRevision* next = banner.status == "available" ? first_after(banner, after) : nullptr;
    return "\"" + id + "-" + std::to_string(after) + "-" + banner.status + "-" +
           (next != nullptr ? std::to_string(next->number) : std::string("none")) + "\"";
}

HttpAnswer BannerCatalog::answer(const std::string& target, const std::optional<std::string>& if_none_match) const {
    static const std::regex page_pattern(
        R"(^/api/public/banners/([A-Za-z0-9_-]+)/render-revisions\?after=([0-9]+)&limit=1$)");
    static const std::regex image_pattern(R"(^/banner/([A-Za-z0-9_-]+)/(render|revision)/([0-9]+)/image$)");
    std::smatch match;
    if (std::regex_match(target, match, page_pattern)) {
        const auto banner = banners_.find(match.str(1));
        const auto after = parse_number(match.str(2));
        if (banner == banners_.end() || !after) {
            return not_found();
        }
        const std::string tag = page_entity_tag(banner->first, banner->second, *after);
        if (if_none_match == tag) {
            return HttpAnswer{304, "", {{"ETag", tag}}, ""};
        }
        return HttpAnswer{
            200, "application/json", {{"ETag", tag}}, page_document(banner->first, banner->second, *after)};
    }
    if (std::regex_match(target, match, image_pattern)) {
        const auto banner = banners_.find(match.str(1));
        const auto number = parse_number(match.str(3));
        if (banner == banners_.end() || !number) {
            return not_found();
        }
        for (const auto& revision : banner->second.revisions) {
            if (revision.number == *number) {
                return HttpAnswer{200, "image/png", {}, std::string(revision.png.begin(), revision.png.end())};
            }
        }
    }
    return not_found();
}

} // namespace kelvara::standin
