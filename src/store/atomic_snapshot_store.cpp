#include "store/atomic_snapshot_store.hpp"

#include "core/banner_rules.hpp"
#include "store/snapshot_codec.hpp"
#include "store/snapshot_file.hpp"

#include <stdexcept>
#include <string>

namespace kelvara {
namespace {

constexpr std::size_t kMaxSourceUuidLength = 128;

// Only what follows_same_banner compares.
std::optional<EngineState> keepable_settings(const std::optional<EngineState>& state) {
    if (!state || !holds_review_work(*state)) {
        return std::nullopt;
    }
    return EngineState{
        .banner_id = state->banner_id, .pinned = state->pinned, .pinned_revision = state->pinned_revision};
}

} // namespace

void AtomicSnapshotStore::save(const EngineState& state) {
    const bool set_aside = keepable_on_disk_ && !follows_same_banner(*keepable_on_disk_, state);
    const auto previous = previous_snapshot_path(path_);
    try {
        write_snapshot_file(path_, SnapshotPieces(state), set_aside ? &previous : nullptr);
    } catch (...) {
        std::error_code error;
        if (set_aside && !std::filesystem::exists(path_, error)) {
            keepable_on_disk_.reset(); // set aside already, and nothing took its place
        }
        throw;
    }
    keepable_on_disk_ = keepable_settings(state);
}

std::optional<EngineState> AtomicSnapshotStore::load() {
    recover_interrupted_save(path_);
    auto state = read_snapshot_file(path_);
    keepable_on_disk_ = keepable_settings(state);
    return state;
}

std::optional<EngineState> AtomicSnapshotStore::load_previous() const {
    return read_snapshot_file(previous_snapshot_path(path_));
}

std::filesystem::path snapshot_path(const std::filesystem::path& config_root, std::string_view source_uuid) {
    if (config_root.empty()) {
        throw std::invalid_argument("OBS module config root is empty");
    }
    if (!is_id_text(source_uuid, kMaxSourceUuidLength)) {
        throw std::invalid_argument("OBS source UUID contains unsupported characters");
    }
    return config_root / "sources" / (std::string(source_uuid) + ".approval");
}

} // namespace kelvara
