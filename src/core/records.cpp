#include "core/records.hpp"

namespace kelvara {

const char* outcome_kind_name(MetadataOutcomeKind kind) noexcept {
    switch (kind) {
    case MetadataOutcomeKind::modified:
        return "modified";
    case MetadataOutcomeKind::not_modified:
        return "not-modified";
    case MetadataOutcomeKind::network_failure:
        return "network-failure";
    case MetadataOutcomeKind::not_found:
        return "not-found";
    case MetadataOutcomeKind::forbidden:
        return "forbidden";
    case MetadataOutcomeKind::gone:
        return "gone";
    case MetadataOutcomeKind::moderated:
        return "moderated";
    case MetadataOutcomeKind::malformed:
        return "malformed";
    }
    return "unknown";
}

} // namespace kelvara
