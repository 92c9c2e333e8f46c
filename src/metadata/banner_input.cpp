#include "metadata/banner_input.hpp"

#include "metadata/service_urls.hpp"

#include <algorithm>
#include <optional>
#include <regex>
#include <string_view>

namespace kelvara {
namespace {

// The libstdc++ regex matcher recurses once per character it consumes, so a pasted text of some ten
// thousand characters would exhaust the stack of the thread that parses it. Only two parts of a banner page
// URL are unbounded, the ID and the revision digits, and for them only "longer than 128" and "more digits
// than fit in 64 bits" matter. Cutting every run of ID characters down to kRunCut keeps both answers and
// the rest of the match the same, and bounds what reaches the matcher.
constexpr std::size_t kRunCut = kMaxBannerIdLength + 1;
// Nothing longer than this can match either pattern once runs are cut.
constexpr std::size_t kLongestMatchable = kAlternateServiceOrigin.size() + std::string_view("/banner/").size() +
                                          kRunCut + std::string_view("/revision/").size() + kRunCut + 1;

bool is_id_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::string cut_long_runs(const std::string& url) {
    std::string out;
    out.reserve(std::min(url.size(), kLongestMatchable + 1));
    std::size_t run = 0;
    for (const char c : url) {
        run = is_id_char(c) ? run + 1 : 0;
        if (run <= kRunCut) {
            out.push_back(c);
            if (out.size() > kLongestMatchable) {
                break; // already too long to match; the verdict cannot change
            }
        }
    }
    return out;
}

std::string pattern_for(std::string_view origin) {
    std::string pattern = "^";
    for (const char c : origin) {
        if (c == '.') {
            pattern.push_back('\\');
        }
        pattern.push_back(c);
    }
    return pattern + "/banner/([A-Za-z0-9_-]+)(?:/revision/([1-9][0-9]*))?/?$";
}

struct BannerUrlPatterns {
    std::regex service{pattern_for(kServiceOrigin), std::regex::ECMAScript};
    std::regex alternate{pattern_for(kAlternateServiceOrigin), std::regex::ECMAScript};
};

const BannerUrlPatterns& patterns() {
    static const BannerUrlPatterns compiled;
    return compiled;
}

// Digit by digit, refusing any value above 2^64 - 1 before it overflows.
std::optional<std::uint64_t> parse_revision(std::string_view digits) {
    constexpr std::uint64_t limit = 1844674407370955161ULL;
    std::uint64_t value = 0;
    for (const char c : digits) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > limit || (value == limit && digit > 5)) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::int32_t clamp_poll_seconds(std::int64_t stored) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(stored, 60, 3600));
}

} // namespace

void prepare_banner_input_patterns() {
    static_cast<void>(patterns());
}

SourceSettings parse_source_settings(const std::string& url, std::int64_t poll_seconds, bool qr_enabled) {
    SourceSettings settings;
    settings.poll_seconds = clamp_poll_seconds(poll_seconds);
    settings.qr_enabled = qr_enabled;

    if (is_valid_banner_id(url)) {
        settings.banner_id = url;
        settings.input_kind = BannerInputKind::banner;
        return settings;
    }

    const std::string matchable = cut_long_runs(url);
    std::smatch match;
    if (matchable.size() > kLongestMatchable || (!std::regex_match(matchable, match, patterns().service) &&
                                                 !std::regex_match(matchable, match, patterns().alternate))) {
        settings.validation_message = ValidationMessage::usage;
        return settings;
    }
    if (!is_valid_banner_id(match.str(1))) {
        settings.validation_message = ValidationMessage::banner_id;
        return settings;
    }
    settings.banner_id = match.str(1);
    settings.input_kind = BannerInputKind::banner;
    if (!match[2].matched) {
        return settings;
    }
    const auto revision =
        parse_revision(std::string_view(&*match[2].first, static_cast<std::size_t>(match[2].length())));
    if (!revision) {
        settings.input_kind = BannerInputKind::invalid;
        settings.validation_message = ValidationMessage::revision_range;
        return settings;
    }
    settings.revision = *revision;
    settings.input_kind = BannerInputKind::banner_revision;
    return settings;
}

SourceSettings parse_source_settings(const RawSourceSettings& raw) {
    return parse_source_settings(raw.url, raw.poll_seconds, raw.qr_enabled);
}

std::string banner_page_url(const SourceSettings& settings) {
    if (settings.input_kind == BannerInputKind::invalid || !is_valid_banner_id(settings.banner_id)) {
        return {};
    }
    return banner_url(settings.banner_id);
}

bool matches_snapshot(const EngineState& state, const SourceSettings& settings) {
    switch (settings.input_kind) {
    case BannerInputKind::banner:
        return state.banner_id == settings.banner_id && !state.pinned && !state.pinned_revision;
    case BannerInputKind::banner_revision:
        return state.banner_id == settings.banner_id && state.pinned && state.pinned_revision == settings.revision;
    case BannerInputKind::invalid:
        break;
    }
    return false;
}

StartingStates starting_states(const SourceSettings& settings, std::optional<EngineState> stored,
                               std::optional<EngineState> set_aside) {
    if (stored && matches_snapshot(*stored, settings)) {
        return {std::move(*stored), std::move(set_aside)};
    }
    if (set_aside && matches_snapshot(*set_aside, settings)) {
        return {std::move(*set_aside), std::move(stored)};
    }
    EngineState fresh;
    fresh.banner_id = settings.input_kind == BannerInputKind::invalid ? std::string() : settings.banner_id;
    if (settings.input_kind == BannerInputKind::banner_revision) {
        fresh.pinned = true;
        fresh.pinned_revision = settings.revision;
    }
    const bool stored_is_kept = stored && holds_review_work(*stored);
    return {std::move(fresh), stored_is_kept ? std::move(stored) : std::move(set_aside)};
}

} // namespace kelvara
