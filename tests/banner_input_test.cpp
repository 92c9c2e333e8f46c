#include "plugin/banner_input.hpp"

#include <gtest/gtest.h>

#include <ranges>
#include <vector>

namespace kelvara {
namespace {

const std::string kUsage = "Use a banner ID or https://kelvara.com/banner/{bannerId}";
const std::string kIdMessage = "Banner ID must contain 1 to 128 letters, numbers, underscores, or hyphens";
const std::string kRange = "Revision sequence is outside the supported range";
const std::string kPage = "https://kelvara.com/banner/";

TEST(BannerInput, AcceptedAndRefusedInputs) {
    using enum BannerInputKind;
    const std::string id128(128, 'a');
    const std::string id129(129, 'a');
    const std::string huge(200000, 'a');
    const struct {
        std::string url;
        BannerInputKind kind;
        std::string banner_id;
        std::uint64_t revision;
        std::string message;
    } cases[] = {
        {"abc_DEF-123", banner, "abc_DEF-123", 0, ""},
        {id128, banner, id128, 0, ""},
        {kPage + id128, banner, id128, 0, ""},
        {kPage + "abc", banner, "abc", 0, ""},
        {kPage + "abc/", banner, "abc", 0, ""},
        {kPage + "abc/revision/42", banner_revision, "abc", 42, ""},
        {kPage + "abc/revision/42/", banner_revision, "abc", 42, ""},
        {"https://www.kelvara.com/banner/abc/revision/42", banner_revision, "abc", 42, ""},
        {kPage + "abc/revision/18446744073709551615", banner_revision, "abc", 18446744073709551615ULL, ""},
        // Refused: no ID, except that a revision out of range keeps the ID it was read with.
        {kPage + "abc/revision/18446744073709551616", invalid, "abc", 0, kRange},
        {kPage + "abc/revision/99999999999999999999", invalid, "abc", 0, kRange},
        {kPage + id129, invalid, "", 0, kIdMessage},
        // Long pasted text must neither exhaust the matcher's stack nor change the verdict.
        {kPage + huge, invalid, "", 0, kIdMessage},
        {kPage + huge + "/", invalid, "", 0, kIdMessage},
        {kPage + huge + "/revision/1" + std::string(100000, '0'), invalid, "", 0, kIdMessage},
        {kPage + "abc/revision/1" + std::string(200000, '0'), invalid, "abc", 0, kRange},
    };
    for (const auto& c : cases) {
        const SourceSettings expected{c.banner_id, c.revision, 300, true, c.kind, c.message};
        EXPECT_EQ(parse_source_settings(c.url, 300, true), expected) << c.url.substr(0, 80);
    }
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
        {-5, 60},     {0, 60},      {60, 60},          {61, 61},        {3599, 3599},
        {3600, 3600}, {3601, 3600}, {INT64_MAX, 3600}, {INT64_MIN, 60},
    };
    for (const auto& [stored, expected] : cases) {
        EXPECT_EQ(parse_source_settings("abc", stored, false).poll_seconds, expected);
        EXPECT_EQ(parse_source_settings("not valid!", stored, false).poll_seconds, expected);
    }
}

TEST(BannerInput, PageUrlIsAlwaysOnTheServiceOriginWithoutRevision) {
    EXPECT_EQ(banner_page_url(parse_source_settings("abc_DEF-123", 60, false)), kPage + "abc_DEF-123");
    EXPECT_EQ(banner_page_url(parse_source_settings("https://www.kelvara.com/banner/abc/revision/42", 60, false)),
              kPage + "abc");
    EXPECT_EQ(banner_page_url(parse_source_settings(kPage + "abc/revision/99999999999999999999", 60, false)), "");
    EXPECT_EQ(banner_page_url(SourceSettings{"a b", 0, 60, false, BannerInputKind::banner, ""}), "");
}

TEST(BannerInput, SnapshotMatching) {
    EngineState follow;
    follow.banner_id = "abc";
    EngineState pinned7 = follow;
    pinned7.pinned = true;
    pinned7.pinned_revision = 7;
    EngineState other = follow;
    other.banner_id = "ABC";
    const auto bare = parse_source_settings("abc", 60, false);
    const auto page7 = parse_source_settings(kPage + "abc/revision/7", 60, false);
    const auto page8 = parse_source_settings(kPage + "abc/revision/8", 60, false);
    const auto invalid = parse_source_settings("a b", 60, false);
    EXPECT_TRUE(matches_snapshot(follow, bare));
    EXPECT_TRUE(matches_snapshot(pinned7, page7));
    for (const auto& [state, settings] : {std::pair{&pinned7, &bare},
                                          {&other, &bare},
                                          {&pinned7, &page8},
                                          {&follow, &page7},
                                          {&follow, &invalid},
                                          {&pinned7, &invalid}}) {
        EXPECT_FALSE(matches_snapshot(*state, *settings));
    }
}

} // namespace
} // namespace kelvara
