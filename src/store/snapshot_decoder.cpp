#include "store/snapshot_codec.hpp"

#include "metadata/service_urls.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>

namespace kelvara {
namespace {

// Reads fields until the first failure; after it every read is a no-op giving zero or empty, so the decoder
// reads straight through and checks once, and nothing more is taken from the source after a broken field.
class FieldReader {
public:
    explicit FieldReader(SnapshotSource& source) : source_(source) {}

    bool ok() const noexcept { return ok_; }
    void fail() noexcept { ok_ = false; }

    std::uint64_t u64() { return little_endian<8>(); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(little_endian<4>()); }

    std::uint32_t u32_at_most(std::uint32_t limit) {
        const auto value = u32();
        check(value <= limit);
        return value;
    }

    // The store writes only 0 and 1; any other byte is damage.
    bool boolean() {
        const auto value = byte();
        check(value <= 1);
        return value == 1;
    }

    // Only 1 means present; any other presence byte means absent with no value following.
    std::optional<std::uint64_t> optional_u64() {
        if (byte() != 1) {
            return std::nullopt;
        }
        return u64();
    }

    std::string text(std::uint64_t limit) {
        const auto count = u64();
        std::string text;
        if (take(count, limit)) {
            text.resize(count);
            bytes({reinterpret_cast<std::uint8_t*>(text.data()), text.size()});
        }
        return text;
    }

    std::optional<std::string> optional_text(std::uint64_t limit) {
        if (byte() != 1) {
            return std::nullopt;
        }
        return text(limit);
    }

    ImageBytes image_block() {
        const auto count = u64();
        if (!take(count, kMaxSnapshotImageBytes) || count == 0) {
            return {};
        }
        // Read straight into the vector the image will own, so the bytes are not copied again.
        std::vector<std::uint8_t> image(count);
        bytes(image);
        return ok_ ? ImageBytes(std::move(image)) : ImageBytes{};
    }

    // A count of items at least `min_item_bytes` long each: within `limit` and within what can follow.
    bool take(std::uint64_t count, std::uint64_t limit, std::uint64_t min_item_bytes = 1) {
        check(count <= limit && source_.may_hold(count * min_item_bytes));
        return ok_;
    }

    std::uint8_t byte() { return static_cast<std::uint8_t>(little_endian<1>()); }

private:
    void check(bool condition) noexcept { ok_ = ok_ && condition; }

    void bytes(std::span<std::uint8_t> out) {
        if (ok_ && !source_.read(out)) {
            ok_ = false;
        }
    }

    template <std::size_t N>
    std::uint64_t little_endian() {
        std::array<std::uint8_t, N> raw{};
        bytes(raw);
        if (!ok_) {
            return 0;
        }
        std::uint64_t value = 0;
        for (std::size_t i = N; i-- > 0;) {
            value = (value << 8) | raw[i];
        }
        return value;
    }

    SnapshotSource& source_;
    bool ok_ = true;
};

std::optional<RenderRevision> read_revision(FieldReader& in, std::uint32_t version) {
    // Any non-zero presence byte means present here, unlike the optional numbers and texts.
    if (in.byte() == 0 || !in.ok()) {
        return std::nullopt;
    }
    RenderRevision revision;
    revision.banner_id = in.text(kMaxSnapshotBannerIdBytes);
    revision.render_revision = in.u64();
    if (version >= 7) {
        revision.latest_painting_sequence = in.u64();
    }
    revision.image_url = in.text(kMaxSnapshotUrlBytes);
    revision.content_type = in.text(kMaxSnapshotContentTypeBytes);
    revision.image_bytes = in.image_block();
    revision.width = in.u32();
    revision.height = in.u32();
    if (version >= 5) {
        revision.contains_paid_artwork = in.boolean();
        revision.contains_filter_change = in.boolean();
        revision.contains_moderation = in.boolean();
    }
    return revision;
}

std::vector<RejectedRevision> read_rejected(FieldReader& in) {
    constexpr std::uint64_t kSmallestEntryBytes = 16; // empty banner ID count and the number
    const auto count = in.u64();
    std::vector<RejectedRevision> rejected;
    if (!in.take(count, kMaxSnapshotRejected, kSmallestEntryBytes)) {
        return rejected;
    }
    rejected.reserve(count);
    for (std::uint64_t i = 0; i < count && in.ok(); ++i) {
        RejectedRevision entry;
        entry.banner_id = in.text(kMaxSnapshotBannerIdBytes);
        entry.render_revision = in.u64();
        rejected.push_back(std::move(entry));
    }
    return rejected;
}

// What a file older than version 7 means today.
void migrate(EngineState& state, std::uint32_t version) {
    if (version <= 5) {
        // Before version 6 discovery had no cursor: a candidate, the rejections, the entity tag and the
        // back-off belonged to a position that no longer exists, so discovery starts over from the approval.
        state.candidate.reset();
        state.candidate_previewed = false;
        state.notified_revision.reset();
        state.rejected.clear();
        state.etag.reset();
        state.consecutive_failures = 0;
        state.next_poll_due_ms = 0;
    }
    if (version <= 6 && state.approved &&
        state.approved->image_url == banner_revision_image_url(state.banner_id, state.approved->render_revision)) {
        // An approved image of the older "/revision/" form already covers its own number.
        state.legacy_baseline = state.approved->render_revision;
    }
}

class MemorySource final : public SnapshotSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : rest_(bytes) {}

    bool read(std::span<std::uint8_t> out) override {
        if (out.size() > rest_.size()) {
            rest_ = {};
            return false;
        }
        std::copy_n(rest_.begin(), out.size(), out.begin());
        rest_ = rest_.subspan(out.size());
        return true;
    }

    bool may_hold(std::uint64_t count) const override { return count <= rest_.size(); }

private:
    std::span<const std::uint8_t> rest_;
};

} // namespace

std::optional<EngineState> decode_snapshot(SnapshotSource& source) {
    FieldReader in(source);
    const auto version = in.u32();
    if (!in.ok() || version < kOldestSnapshotVersion || version > kSnapshotVersion) {
        return std::nullopt;
    }
    EngineState state;
    state.banner_id = in.text(kMaxSnapshotBannerIdBytes);
    state.pinned = in.boolean();
    state.pinned_revision = in.optional_u64();
    state.approved = read_revision(in, version);
    state.candidate = read_revision(in, version);
    state.rejected = read_rejected(in);
    state.website_status =
        static_cast<WebsiteStatus>(in.u32_at_most(static_cast<std::uint32_t>(WebsiteStatus::moderated)));
    state.candidate_previewed = in.boolean();
    if (version >= 4) {
        state.notified_revision = in.optional_u64();
    }
    state.consecutive_failures = in.u32_at_most(kMaxConsecutiveFailures);
    state.next_poll_due_ms = in.u64();
    state.etag = in.optional_text(kMaxSnapshotEntityTagBytes);
    if (version >= 6) {
        state.discovery_cursor = in.u64();
    }
    if (version >= 7) {
        state.legacy_baseline = in.optional_u64();
    }
    if (!in.ok()) {
        return std::nullopt;
    }
    migrate(state, version);
    state.version = kEngineStateVersion;
    if (!is_valid_state(state)) {
        return std::nullopt;
    }
    return state;
}

std::optional<EngineState> decode_snapshot(std::span<const std::uint8_t> bytes) {
    MemorySource source(bytes);
    return decode_snapshot(source);
}

} // namespace kelvara
