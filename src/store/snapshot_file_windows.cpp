#include "store/snapshot_file.hpp"

#include <algorithm>
#include <stdexcept>
#include <utility>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace kelvara {
namespace {

class Handle {
public:
    explicit Handle(HANDLE handle) noexcept : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (valid()) {
            CloseHandle(handle_);
        }
    }
    HANDLE get() const noexcept { return handle_; }
    bool valid() const noexcept { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() noexcept { return std::exchange(handle_, INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

constexpr std::size_t kMaxBytesPerCall = 1u << 30;

bool write_all(HANDLE file, const std::vector<std::span<const std::uint8_t>>& pieces) {
    for (auto piece : pieces) {
        while (!piece.empty()) {
            const auto chunk = static_cast<DWORD>(std::min(piece.size(), kMaxBytesPerCall));
            DWORD written = 0;
            if (!WriteFile(file, piece.data(), chunk, &written, nullptr) || written == 0) {
                return false;
            }
            piece = piece.subspan(written);
        }
    }
    return true;
}

class WindowsFileSource final : public BufferedFileSource {
public:
    WindowsFileSource(HANDLE file, std::uint64_t size) : BufferedFileSource(size), file_(file) {}

protected:
    std::optional<std::size_t> read_some(std::span<std::uint8_t> out) override {
        DWORD count = 0;
        if (!ReadFile(file_, out.data(), static_cast<DWORD>(std::min(out.size(), kMaxBytesPerCall)), &count, nullptr)) {
            return std::nullopt;
        }
        return count;
    }

private:
    HANDLE file_;
};

} // namespace

void write_snapshot_file(const std::filesystem::path& snapshot, const SnapshotPieces& pieces) {
    // Directory entries are made durable by MOVEFILE_WRITE_THROUGH; nothing to sync for new directories.
    create_snapshot_directory(snapshot.parent_path());
    const auto temporary = temporary_snapshot_path(snapshot);
    Handle file(
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) {
        throw std::runtime_error(kCannotOpenTemporarySnapshot);
    }
    bool written = write_all(file.get(), pieces.spans()) && FlushFileBuffers(file.get());
    written = CloseHandle(file.release()) && written;
    if (!written) {
        DeleteFileW(temporary.c_str());
        throw std::runtime_error(kCannotWriteSnapshot);
    }
    if (!MoveFileExW(temporary.c_str(), snapshot.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        throw std::runtime_error(kCannotReplaceSnapshot);
    }
}

std::optional<EngineState> read_snapshot_file(const std::filesystem::path& snapshot) {
    const Handle file(CreateFileW(snapshot.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) {
        return std::nullopt;
    }
    WindowsFileSource source(file.get(), static_cast<std::uint64_t>(size.QuadPart));
    return decode_snapshot(source);
}

} // namespace kelvara
