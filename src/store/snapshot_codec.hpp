#pragma once

#include "core/engine_state.hpp"
#include "core/image_bytes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvara {

// The binary form of an EngineState. Version 7 is written; versions 3 to 7 are read. There is no magic
// number and no checksum: the version, the limits below and is_valid_state are what reject a damaged file.
inline constexpr std::uint32_t kSnapshotVersion = 7;
inline constexpr std::uint32_t kOldestSnapshotVersion = 3;

// Limits checked on reading before anything is allocated for a field. They bound what a damaged or
// hostile file can make the reader allocate.
inline constexpr std::uint64_t kMaxSnapshotBannerIdBytes = 256;
inline constexpr std::uint64_t kMaxSnapshotUrlBytes = 2048;
inline constexpr std::uint64_t kMaxSnapshotContentTypeBytes = 128;
inline constexpr std::uint64_t kMaxSnapshotEntityTagBytes = 2048;
inline constexpr std::uint64_t kMaxSnapshotImageBytes = 16777216;
inline constexpr std::uint64_t kMaxSnapshotRejected = kMaxRejectedRevisions;

// The file for a state as the byte ranges to write in order: the small fields gathered in one buffer, the
// image blocks referenced where they lie, so that two 16 MiB images are written without being copied.
// The images are shared with the state (ImageBytes), so the pieces stay valid on their own.
class SnapshotPieces {
public:
    explicit SnapshotPieces(const EngineState& state);

    // At most five ranges: fields, image, fields, image, fields (empty images are left out).
    std::vector<std::span<const std::uint8_t>> spans() const;
    std::uint64_t size() const noexcept;

private:
    void put_revision(const std::optional<RenderRevision>& revision);

    std::vector<std::uint8_t> fields_;
    // Each image goes into the file where fields_ had reached `fields_offset` when it was written.
    struct Image {
        std::size_t fields_offset = 0;
        ImageBytes bytes;
    };
    std::vector<Image> images_;
};

// The whole file in one buffer. Copies the images; for tests and fuzzing, not for saving.
std::vector<std::uint8_t> encode_snapshot(const EngineState& state);

// Where the reader takes the file's bytes from: memory, or a file read in large blocks.
class SnapshotSource {
public:
    virtual ~SnapshotSource() = default;
    // Fills `out` completely with the next bytes, or returns false (then the source is spent).
    virtual bool read(std::span<std::uint8_t> out) = 0;
    // False when fewer than `count` bytes can follow, so that a count the file cannot hold is refused
    // before anything is allocated for it.
    virtual bool may_hold(std::uint64_t count) const = 0;
};

// The state a snapshot holds, after the migrations of its version, or nothing when the bytes are short,
// break a limit or give a state that fails is_valid_state. Bytes after the last field are not read.
std::optional<EngineState> decode_snapshot(SnapshotSource& source);
std::optional<EngineState> decode_snapshot(std::span<const std::uint8_t> bytes);

} // namespace kelvara
