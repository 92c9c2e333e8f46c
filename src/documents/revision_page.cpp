#include "documents/revision_page.hpp"

#include "core/banner_rules.hpp"
#include "core/revision.hpp"

#include <algorithm>
#include <array>
#include <charconv>

namespace kelvara {
namespace {

template <std::size_t N>
using Names = std::array<std::string_view, N>;
template <std::size_t N>
using Values = std::array<JsonValue*, N>;

// Member names of each object of the schema, in the map's byte order, and their positions.
constexpr Names<6> kPageNames{"availability",  "bannerId",  "hasMore", "nextAfterRenderRevision",
                              "schemaVersion", "successors"};
enum PageMember : std::size_t { kAvailability, kBannerId, kHasMore, kNextAfter, kSchemaVersion, kSuccessors };
constexpr Names<2> kAvailabilityNames{"accessible", "status"};
enum AvailabilityMember : std::size_t { kAccessible, kStatus };
constexpr Names<6> kEntryNames{"classification",         "evaluationInstant", "imageUrl",
                               "latestPaintingSequence", "renderRevision",    "revisionPageUrl"};
enum EntryMember : std::size_t {
    kClassification,
    kEvaluationInstant,
    kImageUrl,
    kPaintingSequence,
    kRevision,
    kPageUrl
};
constexpr Names<3> kClassificationNames{"containsFilterChange", "containsModeration", "containsPaidArtwork"};
enum ClassificationMember : std::size_t { kFilterChange, kModeration, kPaidArtwork };

static_assert(std::ranges::is_sorted(kPageNames) && std::ranges::is_sorted(kAvailabilityNames) &&
              std::ranges::is_sorted(kEntryNames) && std::ranges::is_sorted(kClassificationNames));

constexpr std::string_view kEmptyArray = "[]";

// Whether the object has exactly these members, no more and no fewer; `values` then points at them. The
// map is ordered by name, so one walk beside the sorted names replaces a lookup per name.
template <std::size_t N>
bool take_members(JsonObject& object, const Names<N>& names, Values<N>& values) {
    if (object.size() != N) {
        return false;
    }
    std::size_t index = 0;
    for (auto& [name, value] : object) {
        if (name != names[index]) {
            return false;
        }
        values[index++] = &value;
    }
    return true;
}

// Reads a captured nested object that must have exactly the given members.
template <std::size_t N>
bool take_nested(const JsonValue& value, JsonObject& object, const Names<N>& names, Values<N>& values) {
    if (value.kind != JsonKind::object) {
        return false;
    }
    JsonCursor cursor = json_cursor(value.text);
    return parse_object(cursor, object) && take_members(object, names, values);
}

// For a member already found: a value of another kind counts as absent.
bool is_string(const JsonValue* value) {
    return value->kind == JsonKind::string;
}

bool read_bool(const JsonValue* value, bool& out) {
    if (value->kind != JsonKind::boolean) {
        return false;
    }
    out = value->text == "true";
    return true;
}

// Whether `url` is render_page_url(banner_id, revision), without building it: this runs for every page.
bool is_render_page_url(std::string_view url, std::string_view banner_id, std::uint64_t revision) {
    std::array<char, 20> digits{};
    const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), revision).ptr;
    const std::string_view number(digits.data(), static_cast<std::size_t>(end - digits.data()));
    for (const std::string_view part :
         {kServiceOrigin, std::string_view("/banner/"), banner_id, std::string_view("/render/"), number}) {
        if (!url.starts_with(part)) {
            return false;
        }
        url.remove_prefix(part.size());
    }
    return url.empty();
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
    Values<6> field{};
    if (!parse_object(cursor, entry) || !take_members(entry, kEntryNames, field)) {
        return false;
    }
    // Both numbers travel as quoted digit strings.
    std::uint64_t revision = 0;
    std::uint64_t painting_sequence = 0;
    if (!read_u64(*field[kRevision], JsonKind::string, revision) || revision <= after ||
        !read_u64(*field[kPaintingSequence], JsonKind::string, painting_sequence)) {
        return false;
    }
    if (!is_string(field[kPageUrl]) || !is_string(field[kImageUrl]) || !is_string(field[kEvaluationInstant]) ||
        field[kEvaluationInstant]->text.empty()) {
        return false;
    }
    const std::string& page_url = field[kPageUrl]->text;
    std::string& image_url = field[kImageUrl]->text;
    if (!is_render_page_url(page_url, banner_id, revision) || image_url.size() != page_url.size() + 6 ||
        !image_url.starts_with(page_url) || !image_url.ends_with("/image")) {
        return false;
    }
    JsonObject classification;
    Values<3> flag{};
    bool paid = false;
    bool filter = false;
    bool moderation = false;
    if (!take_nested(*field[kClassification], classification, kClassificationNames, flag) ||
        !read_bool(flag[kPaidArtwork], paid) || !read_bool(flag[kFilterChange], filter) ||
        !read_bool(flag[kModeration], moderation)) {
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
    Values<6> field{};
    if (!parse_object(cursor, page) || !take_members(page, kPageNames, field)) {
        return {};
    }
    JsonObject availability;
    Values<2> state{};
    if (!take_nested(*field[kAvailability], availability, kAvailabilityNames, state)) {
        return {};
    }
    std::uint32_t schema_version = 0;
    bool has_more = false;
    if (!read_u32(*field[kSchemaVersion], schema_version) || schema_version != 2 || !is_string(field[kBannerId]) ||
        field[kBannerId]->text != banner_id || !is_string(state[kStatus]) ||
        state[kAccessible]->kind != JsonKind::boolean || !read_bool(field[kHasMore], has_more)) {
        return {};
    }
    const std::string& status = state[kStatus]->text;
    const JsonValue& successors = *field[kSuccessors];
    if (state[kAccessible]->text != "true") {
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
