#include "documents/revision_page.hpp"

#include "core/revision.hpp"
#include "metadata/service_urls.hpp"

#include <array>

namespace kelvara {
namespace {

constexpr std::string_view kEmptyArray = "[]";

// Parses a captured nested object and checks that it has exactly `count` members.
bool parse_nested(const JsonValue& value, std::size_t count, JsonObject& out) {
    if (value.kind != JsonKind::object) {
        return false;
    }
    JsonCursor cursor = json_cursor(value.text);
    return parse_object(cursor, out) && out.size() == count;
}

template <std::size_t N>
bool contains_all(const JsonObject& object, const std::array<std::string_view, N>& names) {
    for (const auto name : names) {
        if (!contains(object, name)) {
            return false;
        }
    }
    return true;
}

bool is_empty_array(const JsonValue& value) {
    return value.kind == JsonKind::array && value.text == kEmptyArray;
}

bool is_space(char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// The text of the array's single element with the whitespace around it removed; empty when there is none.
std::string_view single_element_text(const JsonValue& successors) {
    if (successors.kind != JsonKind::array || successors.text.size() < 2) {
        return {};
    }
    std::string_view inner(successors.text);
    inner = inner.substr(1, inner.size() - 2);
    while (!inner.empty() && is_space(inner.front())) {
        inner.remove_prefix(1);
    }
    while (!inner.empty() && is_space(inner.back())) {
        inner.remove_suffix(1);
    }
    return inner;
}

} // namespace

MetadataOutcomeKind classify_unavailable_status(std::string_view status) noexcept {
    if (status == "unpublished" || status == "incomplete") {
        return MetadataOutcomeKind::not_found;
    }
    if (status == "suspended") {
        return MetadataOutcomeKind::moderated;
    }
    return MetadataOutcomeKind::malformed;
}

bool decode_revision_entry(const JsonValue& successors, std::string_view banner_id, std::uint64_t after,
                           RenderRevision& out) {
    const std::string_view element = single_element_text(successors);
    if (element.empty()) {
        return false;
    }
    // The element must be one object making up the whole list: a second element or a non-object fails here.
    JsonObject entry;
    JsonCursor cursor = json_cursor(element);
    if (!parse_object(cursor, entry) || entry.size() != 6) {
        return false;
    }
    constexpr std::array<std::string_view, 6> names{"renderRevision", "latestPaintingSequence", "revisionPageUrl",
                                                    "imageUrl",       "evaluationInstant",      "classification"};
    if (!contains_all(entry, names)) {
        return false;
    }
    // Both numbers travel as quoted digit strings.
    std::uint64_t revision = 0;
    std::uint64_t painting_sequence = 0;
    if (!read_u64(member(entry, "renderRevision"), JsonKind::string, revision) || revision <= after ||
        !read_u64(member(entry, "latestPaintingSequence"), JsonKind::string, painting_sequence)) {
        return false;
    }
    std::string page_url;
    std::string image_url;
    std::string evaluation_instant;
    if (!read_string_member(entry, "revisionPageUrl", page_url) || !read_string_member(entry, "imageUrl", image_url) ||
        !read_string_member(entry, "evaluationInstant", evaluation_instant) || evaluation_instant.empty()) {
        return false;
    }
    if (page_url != render_page_url(banner_id, revision) || image_url.size() != page_url.size() + 6 ||
        !image_url.starts_with(page_url) || !image_url.ends_with("/image")) {
        return false;
    }
    JsonObject classification;
    bool paid = false;
    bool filter = false;
    bool moderation = false;
    if (!parse_nested(member(entry, "classification"), 3, classification) ||
        !read_bool_member(classification, "containsPaidArtwork", paid) ||
        !read_bool_member(classification, "containsFilterChange", filter) ||
        !read_bool_member(classification, "containsModeration", moderation)) {
        return false;
    }
    out.banner_id.assign(banner_id);
    out.render_revision = revision;
    out.latest_painting_sequence = painting_sequence;
    out.image_url = std::move(image_url);
    out.content_type.assign(kPngContentType);
    out.image_bytes = ImageBytes();
    out.width = 0;
    out.height = 0;
    out.contains_paid_artwork = paid;
    out.contains_filter_change = filter;
    out.contains_moderation = moderation;
    return true;
}

RevisionPage decode_revision_page(std::string_view body, std::string_view banner_id, std::uint64_t after) {
    // A default page is malformed without a revision: every failed rule returns it.
    if (body.empty() || body.size() > kMaxRevisionPageBytes || !is_valid_banner_id(banner_id)) {
        return {};
    }
    JsonObject page;
    JsonCursor cursor = json_cursor(body);
    constexpr std::array<std::string_view, 6> names{"schemaVersion", "bannerId", "availability",
                                                    "successors",    "hasMore",  "nextAfterRenderRevision"};
    if (!parse_object(cursor, page) || page.size() != 6 || !contains_all(page, names)) {
        return {};
    }
    JsonObject availability;
    if (!parse_nested(member(page, "availability"), 2, availability) || !contains(availability, "status") ||
        !contains(availability, "accessible")) {
        return {};
    }
    std::uint32_t schema_version = 0;
    std::string page_banner_id;
    std::string status;
    bool has_more = false;
    if (!read_u32(member(page, "schemaVersion"), schema_version) || schema_version != 2 ||
        !read_string_member(page, "bannerId", page_banner_id) || page_banner_id != banner_id ||
        !read_string_member(availability, "status", status) ||
        member(availability, "accessible").kind != JsonKind::boolean || !read_bool_member(page, "hasMore", has_more)) {
        return {};
    }
    const JsonValue& successors = member(page, "successors");
    if (member(availability, "accessible").text != "true") {
        // An unavailable banner never carries a revision.
        if (!is_empty_array(successors)) {
            return {};
        }
        return RevisionPage{classify_unavailable_status(status), std::nullopt};
    }
    if (status != "available") {
        return {};
    }
    if (is_empty_array(successors)) {
        return RevisionPage{MetadataOutcomeKind::not_modified, std::nullopt};
    }
    RenderRevision revision;
    revision.content_type.assign(kPngContentType);
    if (!decode_revision_entry(successors, banner_id, after, revision)) {
        return {};
    }
    return RevisionPage{MetadataOutcomeKind::modified, std::move(revision)};
}

} // namespace kelvara
