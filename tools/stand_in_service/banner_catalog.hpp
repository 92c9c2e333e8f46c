#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelvara::standin {

struct StandInRevision {
    std::uint64_t number = 0;
    std::uint64_t painting_sequence = 0;
    bool paid_artwork = false;
    bool filter_change = false;
    bool moderation = false;
    std::vector<std::uint8_t> png;
};

struct StandInBanner {
    // "available", or a word the service uses for banners it withholds ("unpublished", "suspended", ...).
    std::string status = "available";
    std::vector<StandInRevision> revisions; // any order; pages list them by number
};

struct HttpAnswer {
    int status = 200;
    std::string content_type;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
};

// What the real service publishes, for any number of banners: the render-revisions pages with entity tags
// and the revision images in both URL forms.
class BannerCatalog {
public:
    void set_banner(const std::string& id, StandInBanner banner) { banners_[id] = std::move(banner); }
    StandInBanner* find(const std::string& id);

    // Answers GET `target` (path and query) with the request's If-None-Match value, if any.
    HttpAnswer answer(const std::string& target, const std::optional<std::string>& if_none_match) const;

    // The page document for a banner after a revision, and its entity tag.
    static std::string page_document(const std::string& id, const StandInBanner& banner, std::uint64_t after);
    static std::string page_entity_tag(const std::string& id, const StandInBanner& banner, std::uint64_t after);

private:
    std::map<std::string, StandInBanner> banners_;
};

} // namespace kelvara::standin
