#include "plugin/banner_input.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

const std::string kUsage = "Use a banner ID or https://kelvara.com/banner/{bannerId}";
const std::string kIdMessage = "Banner ID must contain 1 to 128 letters, numbers, underscores, or hyphens";
const std::string kRange = "Revision sequence is outside the supported range";

TEST(BannerInput, AcceptedAndRefusedInputs) {
    const std::string id128(128, 'a');
    const std::string id129(129, 'a');
    const struct {
        std::string url;
        BannerInputKind kind;
        std::string banner_id;
        std::uint64_t revision;
        std::string message;
    } cases[] = {
        {"abc_DEF-123", BannerInputKind::banner, "abc_DEF-123", 0, ""},
        {id128, BannerInputKind::banner, id128, 0, ""},
        {id129, BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com/banner/" + id129, BannerInputKind::invalid, "", 0, kIdMessage},
        {"https://kelvara.com/banner/" + id128, BannerInputKind::banner, id128, 0, ""},
        {"https://kelvara.com/banner/abc", BannerInputKind::banner, "abc", 0, ""},
        {"https://kelvara.com/banner/abc/", BannerInputKind::banner, "abc", 0, ""},
        {"https://kelvara.com/banner/abc/revision/42", BannerInputKind::banner_revision, "abc", 42, ""},
        {"https://kelvara.com/banner/abc/revision/42/", BannerInputKind::banner_revision, "abc", 42, ""},
        {"https://kelvara.com/banner/abc/revision/42//", BannerInputKind::invalid, "", 0, kUsage},
        {"https://www.kelvara.com/banner/abc/revision/42", BannerInputKind::banner_revision, "abc", 42, ""},
        {"https://kelvara.com/banner/abc/revision/18446744073709551615", BannerInputKind::banner_revision, "abc",
         18446744073709551615ULL, ""},
        {"https://kelvara.com/banner/abc/revision/18446744073709551616", BannerInputKind::invalid, "abc", 0, kRange},
        {"https://kelvara.com/banner/abc/revision/99999999999999999999", BannerInputKind::invalid, "abc", 0, kRange},
        {"https://kelvara.com/banner/abc/revision/0", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com/banner/abc/revision/042", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com/banner/abc/revision/", BannerInputKind::invalid, "", 0, kUsage},
        {"", BannerInputKind::invalid, "", 0, kUsage},
        {" abc", BannerInputKind::invalid, "", 0, kUsage},
        {"abc ", BannerInputKind::invalid, "", 0, kUsage},
        {"HTTPS://kelvara.com/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
        {"https://Kelvara.com/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
        {"http://kelvara.com/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com:443/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvaraxcom/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
        {"https://other.com/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com/banner/abc?x=1", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com/banner/abc#top", BannerInputKind::invalid, "", 0, kUsage},
        {"https://kelvara.com/banner/abc/render/42", BannerInputKind::invalid, "", 0, kUsage},
        {"xhttps://kelvara.com/banner/abc", BannerInputKind::invalid, "", 0, kUsage},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_source_settings(c.url, 300, true);
        EXPECT_EQ(parsed.input_kind, c.kind) << c.url;
        EXPECT_EQ(parsed.validation_message, c.message) << c.url;
        EXPECT_EQ(parsed.revision, c.revision) << c.url;
        if (c.kind != BannerInputKind::invalid || !c.banner_id.empty()) {
            EXPECT_EQ(parsed.banner_id, c.banner_id) << c.url;
        }
        EXPECT_EQ(parsed.poll_seconds, 300);
        EXPECT_TRUE(parsed.qr_enabled);
    }
}

// Long pasted text must neither crash the parser nor change its verdict.
TEST(BannerInput, HugeInputsKeepTheirVerdict) {
    const std::string page = "https://kelvara.com/banner/";
    EXPECT_EQ(parse_source_settings(page + std::string(200000, 'a'), 60, false).validation_message, kIdMessage);
    EXPECT_EQ(parse_source_settings(page + "abc/revision/1" + std::string(200000, '0'), 60, false).validation_message,
              kRange);
    EXPECT_EQ(parse_source_settings(page + std::string(200000, 'a') + "/", 60, false).validation_message, kIdMessage);
    EXPECT_EQ(parse_source_settings(page + std::string(200000, '/'), 60, false).validation_message, kUsage);
    EXPECT_EQ(parse_source_settings(std::string(300000, 'a') + "!", 60, false).validation_message, kUsage);
    EXPECT_EQ(
        parse_source_settings(page + std::string(100000, 'a') + "/revision/1" + std::string(100000, '0'), 60, false)
            .validation_message,
        kIdMessage);
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
    EXPECT_EQ(banner_page_url(parse_source_settings("abc_DEF-123", 60, false)),
              "https://kelvara.com/banner/abc_DEF-123");
    EXPECT_EQ(banner_page_url(parse_source_settings("https://www.kelvara.com/banner/abc/revision/42", 60, false)),
              "https://kelvara.com/banner/abc");
    EXPECT_EQ(banner_page_url(
                  parse_source_settings("https://kelvara.com/banner/abc/revision/99999999999999999999", 60, false)),
              "");
    SourceSettings forged;
    forged.input_kind = BannerInputKind::banner;
    forged.banner_id = "a b";
    EXPECT_EQ(banner_page_url(forged), "");
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
    const auto page7 = parse_source_settings("https://kelvara.com/banner/abc/revision/7", 60, false);
    const auto page8 = parse_source_settings("https://kelvara.com/banner/abc/revision/8", 60, false);
    const auto invalid = parse_source_settings("a b", 60, false);
    const struct {
        const EngineState& state;
        const SourceSettings& settings;
        bool matches;
    } cases[] = {
        {follow, bare, true},    {pinned7, bare, false}, {other, bare, false},     {pinned7, page7, true},
        {pinned7, page8, false}, {follow, page7, false}, {follow, invalid, false}, {pinned7, invalid, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matches_snapshot(c.state, c.settings), c.matches);
    }
}

} // namespace
} // namespace kelvara
