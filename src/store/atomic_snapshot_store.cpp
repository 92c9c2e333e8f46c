#include "store/atomic_snapshot_store.hpp"

#include "store/snapshot_codec.hpp"
#include "store/snapshot_file.hpp"

#include <stdexcept>
#include <string>

namespace kelvara {
namespace {

constexpr std::size_t kMaxSourceUuidLength = 128;

bool is_file_name_safe(std::string_view uuid) noexcept {
    if (uuid.empty() || uuid.size() > kMaxSourceUuidLength) {
        return false;
    }
    for (const char c : uuid) {
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (!letter && !digit && c != '_' && c != '-') {
            return false;
        }
    }
    return true;
}

} // namespace

void AtomicSnapshotStore::save(const EngineState& state) {
    write_snapshot_file(path_, SnapshotPieces(state));
}

std::optional<EngineState> AtomicSnapshotStore::load() const {
    return read_snapshot_file(path_);
}

std::filesystem::path snapshot_path(const std::filesystem::path& config_root, std::string_view source_uuid) {
    if (config_root.empty()) {
        throw std::invalid_argument("OBS module config root is empty");
    }
    if (!is_file_name_safe(source_uuid)) {
        throw std::invalid_argument("OBS source UUID contains unsupported characters");
    }
    return config_root / "sources" / (std::string(source_uuid) + ".approval");
}

} // namespace kelvara
