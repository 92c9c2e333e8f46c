// Arbitrary bytes: nothing throws, a loaded state is valid and round-trips, and the file reader, whose reads may
// come back short, decodes what the in-memory reader decodes.

#include "core/engine_state.hpp"
#include "fuzz_check.hpp"
#include "store/snapshot_codec.hpp"
#include "store/snapshot_file.hpp"

#include <algorithm>
#include <cstdint>
#include <span>

namespace {

// Serves the bytes in short reads of varying length, as a pipe or a network file system might.
struct ShortReadSource final : kelvara::BufferedFileSource {
    explicit ShortReadSource(std::span<const std::uint8_t> bytes)
        : BufferedFileSource(bytes.size()), bytes_(bytes), step_(bytes.empty() ? 1 : bytes[0] % 61 + 1) {}

    std::optional<std::size_t> read_some(std::span<std::uint8_t> out) override {
        const std::size_t count = std::min({out.size(), bytes_.size() - offset_, step_ * (++calls_ % 5 + 1)});
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset_), count, out.begin());
        offset_ += count;
        return count;
    }

    std::span<const std::uint8_t> bytes_;
    std::size_t step_, offset_ = 0, calls_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto state = kelvara::decode_snapshot(bytes);
    ShortReadSource file(bytes);
    FUZZ_CHECK(kelvara::decode_snapshot(file) == state);
    if (state) {
        FUZZ_CHECK(kelvara::is_valid_state(*state) && state->version == kelvara::kSnapshotVersion);
        const auto encoded = kelvara::encode_snapshot(*state);
        FUZZ_CHECK(kelvara::SnapshotPieces(*state).size() == encoded.size());
        FUZZ_CHECK(kelvara::decode_snapshot(encoded) == state);
    }
    return 0;
}
