#include "metadata/service_urls.hpp"

#include <array>
#include <charconv>

namespace kelvara {

std::string decimal_string(std::uint64_t value) {
    std::array<char, 20> digits{};
    const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
    return std::string(digits.data(), result.ptr);
}

std::string banner_url(std::string_view banner_id) {
    std::string url;
    url.reserve(kServiceOrigin.size() + 8 + banner_id.size());
    url.append(kServiceOrigin).append("/banner/").append(banner_id);
    return url;
}

std::string banner_revision_url(std::string_view banner_id, std::uint64_t revision) {
    return banner_url(banner_id) + "/revision/" + decimal_string(revision);
}

std::string banner_revision_image_url(std::string_view banner_id, std::uint64_t revision) {
    return banner_revision_url(banner_id, revision) + "/image";
}

std::string render_page_url(std::string_view banner_id, std::uint64_t render_revision) {
    return banner_url(banner_id) + "/render/" + decimal_string(render_revision);
}

std::string render_image_url(std::string_view banner_id, std::uint64_t render_revision) {
    return render_page_url(banner_id, render_revision) + "/image";
}

std::string render_revisions_url(std::string_view banner_id, std::uint64_t after) {
    std::string url(kServiceOrigin);
    url.append("/api/public/banners/")
        .append(banner_id)
        .append("/render-revisions?after=")
        .append(decimal_string(after))
        .append("&limit=1");
    return url;
}

} // namespace kelvara
