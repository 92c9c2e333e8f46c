#include "metadata/banner_input.hpp"

#include <gtest/gtest.h>

#include <ranges>
#include <tuple>
#include <vector>

namespace kelvara {
namespace {

constexpr auto kUsage = ValidationMessage::usage;
constexpr auto kIdMessage = ValidationMessage::banner_id;
constexpr auto kRange = ValidationMessage::revision_range;
const std::string kPage = "https://kelvara.com/banner/";

TEST(BannerInput, AcceptedAndRefusedInputs) {
    using enum BannerInputKind;
    const std::string id128(128, 'a'), id129(129, 'a'), huge(200000, 'a');
    // input, kind, banner ID, revision, message
    const std::tuple<std::string, BannerInputKind, std::string, std::uint64_t, ValidationMessage> cases[] = {
        {"abc_DEF-123", banner, "abc_DEF-123", 0, {}},
        {id128, banner, id128, 0, {}},
        {kPage + id128, banner, id128, 0, {}},
        {kPage + "abc", banner, "abc", 0, {}},
        {kPage + "abc/", banner, "abc", 0, {}},
        {kPage + "abc/revision/42", banner_revision, "abc", 42, {}},
        {kPage + "abc/revision/42/", banner_revision, "abc", 42, {}},
        {"https://www.kelvara.com/banner/abc/revision/42", banner_revision, "abc", 42, {}},
        {kPage + "abc/revision/18446744073709551615", banner_revision, "abc", 18446744073709551615ULL, {}},
        // Refused: no ID, except that a revision out of range keeps the ID it was read with.
        {kPage + "abc/revision/18446744073709551616", invalid, "abc", 0, kRange},
        {kPage + id129, invalid, "", 0, kIdMessage},
        // Long pasted text must neither exhaust the matcher's stack nor change the verdict.
        {kPage + huge, invalid, "", 0, kIdMessage},
        {kPage + huge + "/revision/1" + std::string(100000, '0'), invalid, "", 0, kIdMessage},
        {kPage + "abc/revision/1" + std::string(200000, '0'), invalid, "abc", 0, kRange},
    };
    // The page URL is always on the service's origin, without the revision.
    for (const auto& [url, kind, banner_id, revision, message] : cases) {
        const SourceSettings settings = parse_source_settings(url, 300, true);
        EXPECT_EQ(settings, (SourceSettings{banner_id, revision, 300, true, kind, message})) << url.substr(0, 80);
        EXPECT_EQ(banner_page_url(settings), kind == invalid ? "" : kPage + banner_id) << url.substr(0, 80);
    }
    EXPECT_EQ(banner_page_url(SourceSettings{"a b", 0, 60, false, banner}), "");
    // Neither an ID nor a banner page URL: the usage message, no ID.
    const std::vector<std::string> refused[] = {
        {"", " abc", "abc ", id129, "x" + kPage + "abc", huge + "!", kPage + std::string(200000, '/')},
        {"HTTPS://kelvara.com/banner/abc", "https://Kelvara.com/banner/abc", "http://kelvara.com/banner/abc"},
        {"https://kelvara.com:443/banner/abc", "https://kelvaraxcom/banner/abc", "https://other.com/banner/abc"},
        {kPage + "abc?x=1", kPage + "abc#top", kPage + "abc/render/42", kPage + "abc/revision/42//"},
        {kPage + "abc/revision/0", kPage + "abc/revision/042", kPage + "abc/revision/"},
    };
    for (const std::string& url : std::views::join(refused)) {
        const SourceSettings expected{"", 0, 300, true, invalid, kUsage};
        EXPECT_EQ(parse_source_settings(url, 300, true), expected) << url.substr(0, 80);
    }
}

TEST(BannerInput, PollSecondsAreClampedWhateverTheInput) {
    const std::pair<std::int64_t, std::int32_t> cases[] = {
        {59, 60}, {60, 60}, {61, 61}, {3600, 3600}, {3601, 3600}, {INT64_MAX, 3600}, {INT64_MIN, 60},
    };
    for (const auto& [stored, expected] : cases) {
        EXPECT_EQ(parse_source_settings("abc", stored, false).poll_seconds, expected);
        EXPECT_EQ(parse_source_settings("not valid!", stored, false).poll_seconds, expected);
    }
}

TEST(BannerInput, StartingStates) {
    const EngineState abc{.banner_id = "abc", .rejected = {{"abc", 2}}},
        xyz{.banner_id = "xyz", .rejected = {{"xyz", 3}}};
    const EngineState fresh_abc{.banner_id = "abc"}, fresh_xyz{.banner_id = "xyz"};
    const EngineState pin7{.banner_id = "abc", .pinned = true, .pinned_revision = 7},
        pin8{.banner_id = "abc", .pinned = true, .pinned_revision = 8};
    using Stored = std::optional<EngineState>;
    // settings, stored snapshot, the one set aside, what starts, what is kept
    const std::tuple<std::string, Stored, Stored, EngineState, Stored> rows[] = {
        {"abc", abc, xyz, abc, xyz},                  // the stored one matches
        {"xyz", abc, xyz, xyz, abc},                  // the one set aside matches: they change places
        {"qqq", abc, xyz, {.banner_id = "qqq"}, abc}, // neither: the stored one will be set aside
        {"qqq", fresh_abc, xyz, {.banner_id = "qqq"}, xyz},
        {"abc", std::nullopt, std::nullopt, fresh_abc, std::nullopt},
        {"not valid!", fresh_xyz, std::nullopt, {}, std::nullopt},
        {"ABC", fresh_abc, std::nullopt, {.banner_id = "ABC"}, std::nullopt}, // IDs match case-sensitively
        {kPage + "abc/revision/7", abc, pin7, pin7, abc},                     // a pin matches only its revision
        {kPage + "abc/revision/8", pin7, xyz, pin8, xyz},
        {"abc", pin7, std::nullopt, fresh_abc, std::nullopt}, // a followed banner is no pin
    };
    for (const auto& [input, stored, set_aside, initial, kept] : rows) {
        const auto states = starting_states(parse_source_settings(input, 60, false), stored, set_aside);
        EXPECT_EQ(states.initial, initial) << input;
        EXPECT_EQ(states.kept, kept) << input;
    }
}

} // namespace
} // namespace kelvara
