#include "documents/json_reader.hpp"
#include "documents/revision_page.hpp"
#include "test_fixtures/page_documents.hpp"
#include "test_fixtures/revisions.hpp"

#include <gtest/gtest.h>

#include <ranges>
#include <stdexcept>
#include <tuple>

namespace kelvara {
namespace {

using namespace kelvara::test;
using Kind = MetadataOutcomeKind;

const auto str = [](std::string text) { return JsonValue{JsonKind::string, std::move(text)}; };
const auto num = [](std::string text) { return JsonValue{JsonKind::number, std::move(text)}; };

std::optional<JsonObject> parse(const std::string& input) {
    JsonObject out;
    JsonCursor cursor = json_cursor(input);
    if (!parse_object(cursor, out)) {
        return std::nullopt;
    }
    EXPECT_EQ(cursor.pos, input.size()) << input;
    return out;
}

TEST(JsonReader, ParsesExactlyTheNarrowGrammar) {
    const std::vector<std::string> refused[] = {
        {"", "{}{}", "{} x", "[]", R"({"a":1)", R"({"a":[)"}, // not exactly one whole object
        {R"({"a":1,})", R"({"a":1 "b":2})", R"({"a" 1})", R"({"a":})", R"({"a":1,"a":1})"}, // punctuation, duplicates
        {R"({"a":"x\"y"})", R"({"a":"\u0041"})", "{\"a\":\"x\ty\"}", R"({"a":["x\"]})"},    // escapes, control bytes
        {R"({"a":-1})", R"({"a":1.5})", R"({"a":1e3})", R"({"a":truex})", R"({"a":nul})", R"({"a":True})"}, // values
        {R"({"a":[1,2})", R"({"a":{"b":"})"}, // unbalanced captures
    };
    for (const std::string& input : std::views::join(refused)) {
        EXPECT_FALSE(parse(input)) << input;
    }
    const std::pair<std::string, JsonObject> cases[] = {
        {"{}", {}},
        {" \t\n\v\f\r{ \v}\f\r\n", {}},
        {"{\"a\":\"x\x7Fy\"}", {{"a", str("x\x7Fy")}}},
        {"{\"\":\"\xC3\xA9\"}", {{"", str("\xC3\xA9")}}},
        {R"({"a":007,"b":0})", {{"a", num("007")}, {"b", num("0")}}},
        {R"({"t":true ,"f":false	,"n":null})",
         {{"t", {JsonKind::boolean, "true"}}, {"f", {JsonKind::boolean, "false"}}, {"n", {JsonKind::null, ""}}}},
        // Nested values are kept raw; only the opener's own bracket kind counts, never inside quotes.
        {R"({"o":{"p":[1,{"q":"}"}]} ,"s":"x"})",
         {{"o", {JsonKind::object, R"({"p":[1,{"q":"}"}]})"}}, {"s", str("x")}}},
        {R"({"a":["]",1],"b":2})", {{"a", {JsonKind::array, R"(["]",1])"}}, {"b", num("2")}}},
        {R"({"a":[{]})", {{"a", {JsonKind::array, "[{]"}}}},
        {R"({"a":{"b":[}})", {{"a", {JsonKind::object, R"({"b":[})"}}}},
    };
    for (const auto& [input, expected] : cases) {
        EXPECT_EQ(parse(input), expected) << input;
    }
    // Names in unsigned byte order: a byte above 0x7F sorts last.
    const auto names = std::views::keys(parse("{\"\xC3\":1,\"z\":2,\"za\":3}").value());
    EXPECT_EQ(std::vector(names.begin(), names.end()), (std::vector<std::string>{"z", "za", "\xC3"}));
}

std::optional<std::uint64_t> u64(const JsonValue& value, JsonKind kind) {
    std::uint64_t out = 0;
    return read_u64(value, kind, out) ? std::optional(out) : std::nullopt;
}

TEST(JsonReader, ReadsCanonicalUnsignedNumbersOfTheRightKind) {
    EXPECT_EQ(u64(num("0"), JsonKind::number), 0U);
    EXPECT_EQ(u64(num("18446744073709551615"), JsonKind::number), UINT64_MAX);
    EXPECT_EQ(u64(str("42"), JsonKind::string), 42U);
    EXPECT_FALSE(u64(str("42"), JsonKind::number));
    for (const char* text : {"007", "", "12a", "18446744073709551616", "99999999999999999999"}) {
        EXPECT_FALSE(u64(num(text), JsonKind::number)) << text;
    }
    // read_u32 leaves its output untouched (7) on failure.
    for (const auto& [value, result] : {std::pair{num("4294967295"), 4294967295U},
                                        {num("4294967296"), 7U},
                                        {num("18446744073709551615"), 7U},
                                        {str("2"), 7U}}) {
        std::uint32_t out = 7;
        EXPECT_EQ(read_u32(value, out), result != 7) << value.text;
        EXPECT_EQ(out, result) << value.text;
    }
}

const std::string kBanner = "Banner_7-x";
constexpr std::uint64_t kAfter = 41;
const Members kEntry = entry_members(kBanner, 42);
const Members kPage = page_members(kBanner, "[" + json_object(kEntry) + "]");

const auto page_with = [](auto name, auto value) { return json_object(with(kPage, name, value)); };
const auto list_of = [](const Members& entry) { return page_with("successors", "[" + json_object(entry) + "]"); };
const auto entry_with = [](auto name, auto value) { return list_of(with(kEntry, name, value)); };
const auto padded_to = [](std::string text, std::size_t size) { return text.append(size - text.size(), ' '); };
std::string unavailable(const std::string& status, const std::string& successors = "[]") {
    return json_object(page_members(kBanner, successors, status, false));
}

TEST(RevisionPage, DecodesEveryAllowedFormOfTheSchema) {
    const std::string image = "https://kelvara.com/banner/Banner_7-x/render/42/image";
    const RevisionPage modified{Kind::modified, {{kBanner, 42, 420, image, "image/png", {}, 0, 0, true, false, true}}};
    const std::pair<std::string, RevisionPage> cases[] = {
        {modified_page(kBanner, 42), modified},
        {padded_to(modified_page(kBanner, 42), 16384), modified},
        {page_with("nextAfterRenderRevision", "5"), modified},
        {page_with("nextAfterRenderRevision", R"({"x":[]})"), modified},
        {page_with("nextAfterRenderRevision", "[1]"), modified},
        {page_with("successors", "[\n\t" + json_object(kEntry) + " \v]"), modified},
        {json_object(with(page_members(kBanner, "[]"), "hasMore", "true")), {Kind::not_modified, std::nullopt}},
        {unavailable("suspended"), {Kind::moderated, std::nullopt}},
        {unavailable("unpublished"), {Kind::not_found, std::nullopt}},
        {unavailable("incomplete"), {Kind::not_found, std::nullopt}},
    };
    for (const auto& [body, page] : cases) {
        EXPECT_EQ(decode_revision_page(body, kBanner, kAfter), page) << body;
    }
    // Each flag alone, so that no flag can be read from another's member.
    for (const auto& [paid, filter, moderation] :
         {std::tuple(true, false, false), {false, true, false}, {false, false, true}}) {
        EXPECT_EQ(decode_revision_page(entry_with("classification", classification(paid, filter, moderation)), kBanner,
                                       kAfter),
                  (RevisionPage{Kind::modified, with_flags(*modified.revision, paid, filter, moderation)}));
    }
    EXPECT_EQ(decode_revision_page(modified_page(kBanner, UINT64_MAX), kBanner, UINT64_MAX - 1).outcome,
              Kind::modified);
    EXPECT_EQ(decode_revision_page(available_empty_page("bad id"), "bad id", 0).outcome, Kind::malformed);
}

TEST(RevisionPage, AnyDepartureFromTheSchemaIsMalformed) {
    const std::string entry = json_object(kEntry), page_42 = render_page_url(kBanner, 42);
    const std::string flags = R"({"containsPaidArtwork":true,"containsFilterChange":false,"containsModeration")";
    const std::vector<std::string> malformed[] = {
        {"", padded_to(modified_page(kBanner, 42), 16385), "[" + modified_page(kBanner, 42) + "]"},
        {page_with("extra", "1"), page_with("hasMore", "null"), json_object(without(kPage, "hasMore"))},
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
        {list_of(without(kEntry, "evaluationInstant")), entry_with("evaluationInstant", "\"\"")},
        {entry_with("renderRevision", "\"042\""), entry_with("latestPaintingSequence", "420")},
        {entry_with("revisionPageUrl", quoted(render_page_url(kBanner, 43)))},
        {list_of(with(entry_members(kBanner, 420), "renderRevision", quoted("42")))}, // URLs of revision 420
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
