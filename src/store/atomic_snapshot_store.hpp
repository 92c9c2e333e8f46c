#pragma once

#include "core/engine_state.hpp"
#include "core/ports.hpp"

#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>

namespace kelvara {

// One source's approval state in one file. A save writes the whole state to a temporary file beside the
// snapshot and moves it over the snapshot, so a reader (or a restart after a crash) sees either the old
// state or the new one, whole. No lock of its own: one thread at a time saves (the source's writer).
//
// A save for other settings than the snapshot's (another banner, or the same one pinned otherwise) first
// sets a snapshot that holds review work aside as the previous snapshot, replacing the one there: the
// engine keeps the same state in memory, and takes it back when the settings return to it.
class AtomicSnapshotStore final : public StorePort {
public:
    explicit AtomicSnapshotStore(std::filesystem::path path) : path_(std::move(path)) {}

    // Returns once the state is on disk. Throws std::runtime_error ("cannot open temporary approval
    // snapshot", "cannot write approval snapshot", "cannot atomically replace approval snapshot") or
    // std::filesystem::filesystem_error ("create_directories"); the previous snapshot then stays.
    void save(const EngineState& state) override;

    // The stored state, or nothing when there is no acceptable snapshot. Never throws for a missing, short,
    // corrupt or unknown file, and leaves the file alone, except to finish a save a crash interrupted.
    std::optional<EngineState> load();
    // The snapshot set aside for the settings followed before, if there is an acceptable one.
    std::optional<EngineState> load_previous() const;

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
    // Which settings the snapshot on disk follows, when it holds review work (only the banner fields are set).
    std::optional<EngineState> keepable_on_disk_;
};

// root / "sources" / (uuid + ".approval"). Throws std::invalid_argument when the root is empty or the UUID
// is not 1 to 128 ASCII letters, digits, '_' and '-' (it becomes a file name).
std::filesystem::path snapshot_path(const std::filesystem::path& config_root, std::string_view source_uuid);

} // namespace kelvara
