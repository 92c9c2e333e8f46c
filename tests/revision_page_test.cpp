#include "documents/revision_page.hpp"

#include "support/page_documents.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

using namespace kelvara::test;
using Kind = MetadataOutcomeKind;

const std::string kBanner = "Banner_7-x";
constexpr std::uint64_t kAfter = 41;

std::string page_with(const std::string& name, const std::string& value) {
    return json_object(with(page_members(kBanner, "[" + json_object(entry_members(kBanner, 42)) + "]"), name, value));
}

std::string entry_with(const std::string& name, const std::string& value) {
    return page_with("successors", "[" + json_object(with(entry_members(kBanner, 42), name, value)) + "]");
}

std::string unavailable(const std::string& status, const std::string& successors = "[]") {
    return json_object(page_members(kBanner, successors, status, false));
}

std::string padded_to(std::string text, std::size_t size) {
    text.resize(size, ' ');
    return text;
}

TEST(RevisionPage, DecodesTheAnnouncedRevisionForItsDownload) {
    const RevisionPage page = decode_revision_page(modified_page(kBanner, 42), kBanner, kAfter);
    ASSERT_EQ(page.outcome, Kind::modified);
    ASSERT_TRUE(page.revision);
    const RenderRevision& revision = *page.revision;
    EXPECT_EQ(revision.banner_id, kBanner);
    EXPECT_EQ(revision.render_revision, 42U);
    EXPECT_EQ(revision.latest_painting_sequence, 420U);
    EXPECT_EQ(revision.image_url, render_image_url(kBanner, 42));
    EXPECT_EQ(revision.content_type, "image/png");
    EXPECT_TRUE(revision.image_bytes.empty());
    EXPECT_EQ(revision.width, 0U);
    EXPECT_EQ(revision.height, 0U);
    EXPECT_TRUE(revision.contains_paid_artwork);
    EXPECT_FALSE(revision.contains_filter_change);
    EXPECT_TRUE(revision.contains_moderation);

    const auto highest = decode_revision_page(modified_page(kBanner, UINT64_MAX), kBanner, UINT64_MAX - 1);
    EXPECT_EQ(highest.outcome, Kind::modified);
}

TEST(RevisionPage, HoldsEveryDocumentToTheSchema) {
    const std::string entry = json_object(entry_members(kBanner, 42));
    const std::string other_page = render_page_url(kBanner, 42);
    struct Case {
        const char* what;
        std::string body;
        Kind outcome;
    };
    const Case cases[] = {
        {"empty body", "", Kind::malformed},
        {"16384 bytes", padded_to(modified_page(kBanner, 42), 16384), Kind::modified},
        {"16385 bytes", padded_to(modified_page(kBanner, 42), 16385), Kind::malformed},
        {"not an object", "[" + modified_page(kBanner, 42) + "]", Kind::malformed},
        {"seventh member", page_with("extra", "1"), Kind::malformed},
        {"no hasMore", json_object(without(page_members(kBanner, "[]"), "hasMore")), Kind::malformed},
        {"hasMore null", page_with("hasMore", "null"), Kind::malformed},
        {"no nextAfter", json_object(without(page_members(kBanner, "[]"), "nextAfterRenderRevision")), Kind::malformed},
        {"nextAfter number", page_with("nextAfterRenderRevision", "5"), Kind::modified},
        {"nextAfter object", page_with("nextAfterRenderRevision", R"({"x":[]})"), Kind::modified},
        {"nextAfter array", page_with("nextAfterRenderRevision", "[1]"), Kind::modified},
        {"schema 1", page_with("schemaVersion", "1"), Kind::malformed},
        {"schema 3", page_with("schemaVersion", "3"), Kind::malformed},
        {"schema 02", page_with("schemaVersion", "02"), Kind::malformed},
        {"schema quoted", page_with("schemaVersion", "\"2\""), Kind::malformed},
        {"banner case", page_with("bannerId", "\"banner_7-X\""), Kind::malformed},
        {"availability extra", page_with("availability", R"({"status":"available","accessible":true,"x":1})"),
         Kind::malformed},
        {"accessible quoted", page_with("availability", R"({"status":"available","accessible":"true"})"),
         Kind::malformed},
        {"availability array", page_with("availability", "[]"), Kind::malformed},
        {"available empty", json_object(with(page_members(kBanner, "[]"), "hasMore", "true")), Kind::not_modified},
        {"available blank list", page_with("successors", "[ ]"), Kind::malformed},
        {"successors object", page_with("successors", entry), Kind::malformed},
        {"suspended", unavailable("suspended"), Kind::moderated},
        {"unpublished", unavailable("unpublished"), Kind::not_found},
        {"incomplete", unavailable("incomplete"), Kind::not_found},
        {"available but inaccessible", unavailable("available"), Kind::malformed},
        {"Suspended", unavailable("Suspended"), Kind::malformed},
        {"unavailable blank list", unavailable("suspended", "[ ]"), Kind::malformed},
        {"unavailable with entry", unavailable("suspended", "[" + entry + "]"), Kind::malformed},
        {"accessible but suspended", page_with("availability", availability("suspended", true)), Kind::malformed},
        {"two entries", page_with("successors", "[" + entry + "," + entry + "]"), Kind::malformed},
        {"number entry", page_with("successors", "[1]"), Kind::malformed},
        {"entry in whitespace", page_with("successors", "[\n\t" + entry + " \v]"), Kind::modified},
        {"entry seventh member", entry_with("extra", "1"), Kind::malformed},
        {"revision == after", entry_with("renderRevision", "\"41\""), Kind::malformed},
        {"revision as number", entry_with("renderRevision", "42"), Kind::malformed},
        {"revision 042", entry_with("renderRevision", "\"042\""), Kind::malformed},
        {"sequence as number", entry_with("latestPaintingSequence", "420"), Kind::malformed},
        {"empty instant", entry_with("evaluationInstant", "\"\""), Kind::malformed},
        {"page of another revision", entry_with("revisionPageUrl", quoted(render_page_url(kBanner, 43))),
         Kind::malformed},
        {"page url suffix", entry_with("revisionPageUrl", quoted(other_page + "0")), Kind::malformed},
        {"image url slash", entry_with("imageUrl", quoted(other_page + "/image/")), Kind::malformed},
        {"revision form", entry_with("imageUrl", quoted(banner_revision_image_url(kBanner, 42))), Kind::malformed},
        {"alternate origin page",
         entry_with("revisionPageUrl", quoted("https://www.kelvara.com/banner/" + kBanner + "/render/42")),
         Kind::malformed},
        {"entry member missing",
         page_with("successors", "[" + json_object(without(entry_members(kBanner, 42), "evaluationInstant")) + "]"),
         Kind::malformed},
        {"classification extra",
         entry_with("classification",
                    R"({"containsPaidArtwork":true,"containsFilterChange":false,"containsModeration":true,"x":1})"),
         Kind::malformed},
        {"moderation quoted",
         entry_with("classification",
                    R"({"containsPaidArtwork":true,"containsFilterChange":false,"containsModeration":"true"})"),
         Kind::malformed},
    };
    for (const auto& c : cases) {
        const RevisionPage page = decode_revision_page(c.body, kBanner, kAfter);
        EXPECT_EQ(page.outcome, c.outcome) << c.what;
        EXPECT_EQ(page.revision.has_value(), c.outcome == Kind::modified) << c.what;
    }
}

TEST(RevisionPage, RefusesAnInvalidBannerIdAskedFor) {
    const std::string banner = "bad id";
    EXPECT_EQ(decode_revision_page(available_empty_page(banner), banner, 0).outcome, Kind::malformed);
}

} // namespace
} // namespace kelvara
