#pragma once

#include "metadata/service_urls.hpp"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kelvara::test {

// Members of a JSON object as name and raw value text, in writing order.
using Members = std::vector<std::pair<std::string, std::string>>;

inline std::string json_object(const Members& members) {
    std::string text = "{";
    for (const auto& [name, value] : members) {
        text.append(text.size() > 1 ? ",\"" : "\"").append(name).append("\":").append(value);
    }
    return text + "}";
}

inline Members without(Members members, const std::string& name) {
    std::erase_if(members, [&](const auto& m) { return m.first == name; });
    return members;
}

// The member moved to the end with its new value: the order of members means nothing to a reader.
inline Members with(Members members, const std::string& name, const std::string& value) {
    members = without(std::move(members), name);
    members.emplace_back(name, value);
    return members;
}

inline std::string quoted(const std::string& text) {
    return '"' + text + '"';
}

inline std::string classification(bool paid, bool filter, bool moderation) {
    const auto flag = [](bool set) { return std::string(set ? "true" : "false"); };
    return json_object({{"containsPaidArtwork", flag(paid)},
                        {"containsFilterChange", flag(filter)},
                        {"containsModeration", flag(moderation)}});
}

// A well-formed successor entry: paid artwork and moderation set, no filter change.
inline Members entry_members(const std::string& banner_id, std::uint64_t revision) {
    const std::string page = render_page_url(banner_id, revision);
    return {{"renderRevision", quoted(decimal_string(revision))},
            {"latestPaintingSequence", quoted(decimal_string(revision * 10))},
            {"revisionPageUrl", quoted(page)},
            {"imageUrl", quoted(page + "/image")},
            {"evaluationInstant", "\"2024-05-01T12:00:00Z\""},
            {"classification", classification(true, false, true)}};
}

inline std::string availability(const std::string& status, bool accessible) {
    return json_object({{"status", quoted(status)}, {"accessible", accessible ? "true" : "false"}});
}

inline Members page_members(const std::string& banner_id, const std::string& successors,
                            const std::string& status = "available", bool accessible = true) {
    return {{"schemaVersion", "2"},
            {"bannerId", quoted(banner_id)},
            {"availability", availability(status, accessible)},
            {"successors", successors},
            {"hasMore", "false"},
            {"nextAfterRenderRevision", "null"}};
}

// The document announcing `revision` as the next one after anything below it.
inline std::string modified_page(const std::string& banner_id, std::uint64_t revision) {
    return json_object(
        page_members(banner_id, std::string("[") + json_object(entry_members(banner_id, revision)) + "]"));
}

inline std::string available_empty_page(const std::string& banner_id) {
    return json_object(page_members(banner_id, "[]"));
}

} // namespace kelvara::test
