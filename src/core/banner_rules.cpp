#include "core/banner_rules.hpp"

namespace kelvara {

bool is_id_text(std::string_view text, std::size_t max_length) noexcept {
    if (text.empty() || text.size() > max_length) {
        return false;
    }
    for (const char c : text) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_' && c != '-') {
            return false;
        }
    }
    return true;
}

} // namespace kelvara
