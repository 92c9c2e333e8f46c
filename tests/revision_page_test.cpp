#include "documents/revision_page.hpp"

#include "support/page_documents.hpp"

#include <gtest/gtest.h>

#include <ranges>
#include <tuple>
#include <vector>

namespace kelvara {
namespace {

using namespace kelvara::test;
using Kind = MetadataOutcomeKind;

const std::string kBanner = "Banner_7-x";
constexpr std::uint64_t kAfter = 41;

std::string page_with(const std::string& name, const std::string& value) {
    return json_object(with(page_members(kBanner, "[" + json_object(entry_members(kBanner, 42)) + "]"), name, value));
}
std::string list_of(const Members& entry) {
    return page_with("successors", "[" + json_object(entry) + "]");
}
std::string entry_with(const std::string& name, const std::string& value) {
    return list_of(with(entry_members(kBanner, 42), name, value));
}
std::string unavailable(const std::string& status, const std::string& successors = "[]") {
    return json_object(page_members(kBanner, successors, status, false));
}
std::string padded_to(std::string text, std::size_t size) {
    text.resize(size, ' ');
    return text;
}

TEST(RevisionPage, DecodesTheAnnouncedRevisionForItsDownload) {
    const std::string image = "https://kelvara.com/banner/Banner_7-x/render/42/image";
    const RenderRevision expected{kBanner, 42, 420, image, "image/png", {}, 0, 0, true, false, true};
    EXPECT_EQ(decode_revision_page(modified_page(kBanner, 42), kBanner, kAfter),
              (RevisionPage{Kind::modified, expected}));
    EXPECT_EQ(decode_revision_page(modified_page(kBanner, UINT64_MAX), kBanner, UINT64_MAX - 1).outcome,
              Kind::modified);
    // Each flag alone, so that no flag can be read from another's member.
    for (const auto& [paid, filter, moderation] :
         {std::tuple{true, false, false}, {false, true, false}, {false, false, true}}) {
        const auto page = decode_revision_page(entry_with("classification", classification(paid, filter, moderation)),
                                               kBanner, kAfter);
        ASSERT_TRUE(page.revision);
        EXPECT_EQ(std::tuple(page.revision->contains_paid_artwork, page.revision->contains_filter_change,
                             page.revision->contains_moderation),
                  std::tuple(paid, filter, moderation));
    }
    EXPECT_EQ(decode_revision_page(available_empty_page("bad id"), "bad id", 0).outcome, Kind::malformed);
}

TEST(RevisionPage, AcceptsEveryAllowedFormOfTheSchema) {
    const std::pair<std::string, Kind> cases[] = {
        {padded_to(modified_page(kBanner, 42), 16384), Kind::modified},
        {page_with("nextAfterRenderRevision", "5"), Kind::modified},
        {page_with("nextAfterRenderRevision", R"({"x":[]})"), Kind::modified},
        {page_with("nextAfterRenderRevision", "[1]"), Kind::modified},
        {page_with("successors", "[\n\t" + json_object(entry_members(kBanner, 42)) + " \v]"), Kind::modified},
        {json_object(with(page_members(kBanner, "[]"), "hasMore", "true")), Kind::not_modified},
        {unavailable("suspended"), Kind::moderated},
        {unavailable("unpublished"), Kind::not_found},
        {unavailable("incomplete"), Kind::not_found},
    };
    for (const auto& [body, kind] : cases) {
        const RevisionPage page = decode_revision_page(body, kBanner, kAfter);
        EXPECT_EQ(page.outcome, kind) << body;
        EXPECT_EQ(page.revision.has_value(), kind == Kind::modified) << body;
    }
}

TEST(RevisionPage, AnyDepartureFromTheSchemaIsMalformed) {
    const std::string entry = json_object(entry_members(kBanner, 42));
    const std::string page_42 = render_page_url(kBanner, 42);
    const std::string flags = R"({"containsPaidArtwork":true,"containsFilterChange":false,"containsModeration")";
    const std::vector<std::string> malformed[] = {
        {"", padded_to(modified_page(kBanner, 42), 16385), "[" + modified_page(kBanner, 42) + "]"},
        {page_with("extra", "1"), page_with("hasMore", "null"),
         json_object(without(page_members(kBanner, "[]"), "hasMore"))},
        {json_object(without(page_members(kBanner, "[]"), "nextAfterRenderRevision")), page_with("schemaVersion", "1")},
        {page_with("schemaVersion", "3"), page_with("schemaVersion", "02"), page_with("schemaVersion", "\"2\"")},
        {page_with("bannerId", "\"banner_7-X\""), page_with("availability", "[]")},
        {page_with("availability", R"({"status":"available","accessible":true,"x":1})")},
        {page_with("availability", R"({"status":"available","accessible":"true"})")},
        {page_with("availability", availability("suspended", true)), page_with("successors", "[ ]")},
        {page_with("successors", entry), page_with("successors", "[1]")},
        {page_with("successors", "[" + entry + "," + entry + "]")},
        // An unavailable banner: only the known statuses, and never with a revision.
        {unavailable("available"), unavailable("Suspended"), unavailable("suspended", "[ ]")},
        {unavailable("suspended", "[" + entry + "]")},
        // The entry: a revision above the cursor, both numbers quoted, its own page and image URLs.
        {list_of(entry_members(kBanner, 41)), entry_with("extra", "1"), entry_with("renderRevision", "42")},
        {list_of(without(entry_members(kBanner, 42), "evaluationInstant")), entry_with("evaluationInstant", "\"\"")},
        {entry_with("renderRevision", "\"042\""), entry_with("latestPaintingSequence", "420")},
        {entry_with("revisionPageUrl", quoted(render_page_url(kBanner, 43)))},
        {list_of(with(with(entry_members(kBanner, 42), "revisionPageUrl", quoted(page_42 + "0")), "imageUrl",
                      quoted(page_42 + "0/image")))},
        {entry_with("imageUrl", quoted(page_42 + "/image/")),
         entry_with("imageUrl", quoted(banner_revision_image_url(kBanner, 42)))},
        {entry_with("revisionPageUrl", quoted("https://www.kelvara.com/banner/" + kBanner + "/render/42"))},
        {entry_with("classification", flags + R"(:true,"x":1})"), entry_with("classification", flags + R"(:"true"})")},
    };
    for (const std::string& body : std::views::join(malformed)) {
        EXPECT_EQ(decode_revision_page(body, kBanner, kAfter), RevisionPage{}) << body;
    }
}

} // namespace
} // namespace kelvara
