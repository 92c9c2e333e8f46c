#pragma once

// The platform half of the snapshot store: putting the pieces of a snapshot on disk durably and atomically,
// and reading a snapshot file back in a few large reads. One implementation per platform.

#include "store/snapshot_codec.hpp"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

namespace kelvara {

inline constexpr const char* kCannotOpenTemporarySnapshot = "cannot open temporary approval snapshot";
inline constexpr const char* kCannotWriteSnapshot = "cannot write approval snapshot";
inline constexpr const char* kCannotReplaceSnapshot = "cannot atomically replace approval snapshot";

// The snapshot path followed by ".tmp", in the same directory, so that the final move stays in one directory.
std::filesystem::path temporary_snapshot_path(const std::filesystem::path& snapshot);
// Where the snapshot of the settings a source followed before goes: "<id>.previous.approval" beside
// "<id>.approval" (IDs hold no dots, so it is no other source's name).
std::filesystem::path previous_snapshot_path(const std::filesystem::path& snapshot);

// Creates the snapshot's directory and its missing ancestors. Returns the nearest ancestor that existed
// before when something had to be created, so that the caller can make the new entries durable.
// Throws std::filesystem::filesystem_error with the operation "create_directories".
std::optional<std::filesystem::path> create_snapshot_directory(const std::filesystem::path& directory);

// Writes the pieces to the temporary file, makes them durable, moves the file over the snapshot and makes
// the move durable. Throws std::runtime_error with one of the three messages above, or the filesystem_error
// of create_snapshot_directory, and then the old snapshot stays in place. Once the move happened the save
// has succeeded: a failure to make the move durable only logs a warning.
//
// With `set_aside`, the old snapshot is moved there once the new one is durable in the temporary file, just
// before that takes its place. A crash in between leaves no snapshot but a whole temporary file, which
// recover_interrupted_save puts in place.
void write_snapshot_file(const std::filesystem::path& snapshot, const SnapshotPieces& pieces,
                         const std::filesystem::path* set_aside = nullptr);

// Where a save was interrupted between setting the old snapshot aside and moving the new one in, finishes
// the move. Nothing happens while the snapshot exists: its temporary file may be a half-written one.
void recover_interrupted_save(const std::filesystem::path& snapshot);

// Makes the calling thread yield to every other thread of the host. Snapshots are written in the
// background: a writer that wakes up must never take the processor from the host's video threads.
void run_as_background_work() noexcept;

// The decoded snapshot, or nothing when the file is missing, unreadable or not acceptable.
std::optional<EngineState> read_snapshot_file(const std::filesystem::path& snapshot);

// Serves the reader's small fields from a buffer that is refilled in large reads, and reads large blocks
// (the images) straight into their destination.
class BufferedFileSource : public SnapshotSource {
public:
    explicit BufferedFileSource(std::uint64_t file_size);

    bool read(std::span<std::uint8_t> out) override;
    bool may_hold(std::uint64_t count) const override { return count <= unread_; }

protected:
    // Up to out.size() bytes from the file: how many were read, 0 at its end, or nothing on an error.
    virtual std::optional<std::size_t> read_some(std::span<std::uint8_t> out) = 0;

private:
    bool fill(std::span<std::uint8_t> out);

    std::vector<std::uint8_t> buffer_;
    std::size_t buffer_begin_ = 0;
    std::size_t buffer_end_ = 0;
    std::uint64_t unread_; // bytes of the file the reader has not taken yet, by the size it had when opened
    bool spent_ = false;
};

} // namespace kelvara
