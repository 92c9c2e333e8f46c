#include "store/snapshot_codec.hpp"

#include <string>

namespace kelvara {
namespace {

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_u64(std::vector<std::uint8_t>& out, std::uint64_t value) {
    for (int shift = 0; shift < 64; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void put_bool(std::vector<std::uint8_t>& out, bool value) {
    out.push_back(value ? 1 : 0);
}

void put_text(std::vector<std::uint8_t>& out, const std::string& text) {
    put_u64(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

void put_optional_u64(std::vector<std::uint8_t>& out, const std::optional<std::uint64_t>& value) {
    put_bool(out, value.has_value());
    if (value) {
        put_u64(out, *value);
    }
}

void put_optional_text(std::vector<std::uint8_t>& out, const std::optional<std::string>& text) {
    put_bool(out, text.has_value());
    if (text) {
        put_text(out, *text);
    }
}

} // namespace

SnapshotPieces::SnapshotPieces(const EngineState& state) {
    // The layout is version 7 whatever the state says: a file must never claim a version whose layout it
    // does not have.
    put_u32(fields_, kSnapshotVersion);
    put_text(fields_, state.banner_id);
    put_bool(fields_, state.pinned);
    put_optional_u64(fields_, state.pinned_revision);
    put_revision(state.approved);
    put_revision(state.candidate);
    put_u64(fields_, state.rejected.size());
    for (const auto& entry : state.rejected) {
        put_text(fields_, entry.banner_id);
        put_u64(fields_, entry.render_revision);
    }
    put_u32(fields_, static_cast<std::uint32_t>(state.website_status));
    put_bool(fields_, state.candidate_previewed);
    put_optional_u64(fields_, state.notified_revision);
    put_u32(fields_, state.consecutive_failures);
    put_u64(fields_, state.next_poll_due_ms);
    put_optional_text(fields_, state.etag);
    put_u64(fields_, state.discovery_cursor);
    put_optional_u64(fields_, state.legacy_baseline);
}

void SnapshotPieces::put_revision(const std::optional<RenderRevision>& revision) {
    put_bool(fields_, revision.has_value());
    if (!revision) {
        return;
    }
    put_text(fields_, revision->banner_id);
    put_u64(fields_, revision->render_revision);
    put_u64(fields_, revision->latest_painting_sequence);
    put_text(fields_, revision->image_url);
    put_text(fields_, revision->content_type);
    put_u64(fields_, revision->image_bytes.size());
    if (!revision->image_bytes.empty()) {
        images_.push_back({fields_.size(), revision->image_bytes});
    }
    put_u32(fields_, revision->width);
    put_u32(fields_, revision->height);
    put_bool(fields_, revision->contains_paid_artwork);
    put_bool(fields_, revision->contains_filter_change);
    put_bool(fields_, revision->contains_moderation);
}

std::vector<std::span<const std::uint8_t>> SnapshotPieces::spans() const {
    std::vector<std::span<const std::uint8_t>> spans;
    spans.reserve(2 * images_.size() + 1);
    std::size_t offset = 0;
    for (const auto& image : images_) {
        spans.emplace_back(fields_.data() + offset, image.fields_offset - offset);
        spans.push_back(image.bytes.span());
        offset = image.fields_offset;
    }
    spans.emplace_back(fields_.data() + offset, fields_.size() - offset);
    return spans;
}

std::uint64_t SnapshotPieces::size() const noexcept {
    std::uint64_t total = fields_.size();
    for (const auto& image : images_) {
        total += image.bytes.size();
    }
    return total;
}

std::vector<std::uint8_t> encode_snapshot(const EngineState& state) {
    const SnapshotPieces pieces(state);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(pieces.size());
    for (const auto span : pieces.spans()) {
        bytes.insert(bytes.end(), span.begin(), span.end());
    }
    return bytes;
}

} // namespace kelvara
