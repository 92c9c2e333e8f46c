#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kelvara {

// The bytes of one downloaded PNG file.
//
// An image of up to 16 MiB travels through every copy of a revision: engine transactions copy the whole
// state, the store writes it, the output and the preview take it. The bytes never change once downloaded,
// so they are held in one immutable buffer that copies share. Copying costs the same for a 1 KiB and a
// 16 MiB image, the value still behaves like a plain byte vector (comparison is by content), and sharing
// across threads is safe because nobody can write to the buffer.
class ImageBytes {
public:
    ImageBytes() = default;
    explicit ImageBytes(std::vector<std::uint8_t> bytes)
        : bytes_(bytes.empty() ? nullptr : std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}
    ImageBytes(const std::uint8_t* data, std::size_t size) : ImageBytes(std::vector<std::uint8_t>(data, data + size)) {}

    std::size_t size() const noexcept { return bytes_ ? bytes_->size() : 0; }
    bool empty() const noexcept { return size() == 0; }
    const std::uint8_t* data() const noexcept { return bytes_ ? bytes_->data() : nullptr; }
    std::span<const std::uint8_t> span() const noexcept { return {data(), size()}; }
    const std::uint8_t* begin() const noexcept { return data(); }
    const std::uint8_t* end() const noexcept { return data() + size(); }
    std::uint8_t operator[](std::size_t index) const noexcept { return (*bytes_)[index]; }
    // Names the buffer without keeping it alive, so that a holder can later ask whether an image is still
    // the same download (a check that costs nothing for any size) without holding up to 16 MiB meanwhile.
    using Watch = std::weak_ptr<const std::vector<std::uint8_t>>;
    Watch watch() const noexcept { return bytes_; }
    bool is(const Watch& watched) const noexcept {
        return !watched.owner_before(bytes_) && !bytes_.owner_before(watched);
    }

    friend bool operator==(const ImageBytes& a, const ImageBytes& b) noexcept {
        if (a.bytes_ == b.bytes_) {
            return true;
        }
        const auto left = a.span();
        const auto right = b.span();
        return left.size() == right.size() && std::equal(left.begin(), left.end(), right.begin());
    }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> bytes_;
};

} // namespace kelvara
