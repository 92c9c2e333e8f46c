#include "store/snapshot_file.hpp"

#include <algorithm>
#include <system_error>

namespace kelvara {
namespace {

// Large enough that a snapshot without images is one read, small enough to cost nothing per load.
constexpr std::size_t kReadBufferBytes = 64 * 1024;

} // namespace

std::filesystem::path temporary_snapshot_path(const std::filesystem::path& snapshot) {
    auto temporary = snapshot;
    temporary += ".tmp";
    return temporary;
}

std::filesystem::path previous_snapshot_path(const std::filesystem::path& snapshot) {
    auto previous = snapshot;
    previous.replace_extension(".previous" + snapshot.extension().string());
    return previous;
}

void recover_interrupted_save(const std::filesystem::path& snapshot) {
    std::error_code error;
    const auto temporary = temporary_snapshot_path(snapshot);
    if (!std::filesystem::exists(snapshot, error) && !error && read_snapshot_file(temporary)) {
        std::filesystem::rename(temporary, snapshot, error); // the next save makes it durable
    }
}

std::optional<std::filesystem::path> create_snapshot_directory(const std::filesystem::path& directory) {
    if (directory.empty()) {
        return std::nullopt;
    }
    std::error_code error;
    auto existing = directory;
    while (!existing.empty() && !std::filesystem::exists(existing, error)) {
        existing = existing.parent_path();
    }
    const bool created = std::filesystem::create_directories(directory, error);
    if (error) {
        throw std::filesystem::filesystem_error("create_directories", directory, error);
    }
    if (!created) {
        return std::nullopt;
    }
    return existing.empty() ? std::filesystem::path(".") : existing;
}

BufferedFileSource::BufferedFileSource(std::uint64_t file_size) : buffer_(kReadBufferBytes), unread_(file_size) {}

bool BufferedFileSource::read(std::span<std::uint8_t> out) {
    if (spent_) {
        return false;
    }
    const auto buffered = std::min(out.size(), buffer_end_ - buffer_begin_);
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(buffer_begin_), buffered, out.begin());
    buffer_begin_ += buffered;
    auto rest = out.subspan(buffered);
    if (!rest.empty() && rest.size() >= buffer_.size()) {
        spent_ = !fill(rest);
    } else if (!rest.empty()) {
        buffer_begin_ = 0;
        buffer_end_ = 0;
        while (!spent_ && buffer_end_ < rest.size()) {
            const auto count = read_some(std::span(buffer_).subspan(buffer_end_));
            spent_ = !count || *count == 0;
            buffer_end_ += count.value_or(0);
        }
        if (!spent_) {
            std::copy_n(buffer_.begin(), rest.size(), rest.begin());
            buffer_begin_ = rest.size();
        }
    }
    if (spent_) {
        return false;
    }
    unread_ -= std::min<std::uint64_t>(unread_, out.size());
    return true;
}

bool BufferedFileSource::fill(std::span<std::uint8_t> out) {
    while (!out.empty()) {
        const auto count = read_some(out);
        if (!count || *count == 0) {
            return false;
        }
        out = out.subspan(*count);
    }
    return true;
}

} // namespace kelvara
