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

// Virus scanners, search indexers and sync clients open a file that has just been written, often without
// sharing deletion, and then a move onto it (or of it) fails with a sharing or access error until they let
// go, typically within tens of milliseconds. The move is tried again after 10, 20, 40, 80, 160 and 320 ms:
// 7 attempts, at most 630 ms of waiting, short enough for an operator who waits for an Accept to be saved.
constexpr int kReplaceAttempts = 7;
constexpr DWORD kFirstReplaceRetryDelayMs = 10;

// Whether a failed move may succeed later. A directory or a read-only file in the snapshot's place also
// reports ERROR_ACCESS_DENIED, but for good: those fail at once.
bool may_clear_by_itself(DWORD error, const std::filesystem::path& snapshot) {
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION) {
        return false;
    }
    const DWORD attributes = GetFileAttributesW(snapshot.c_str());
    return attributes == INVALID_FILE_ATTRIBUTES ||
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0;
}

// MOVEFILE_WRITE_THROUGH returns only once the move is on disk, so a successful return is durable.
bool replace_durably(const std::filesystem::path& temporary, const std::filesystem::path& snapshot) {
    DWORD delay_ms = kFirstReplaceRetryDelayMs;
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(temporary.c_str(), snapshot.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        if (attempt == kReplaceAttempts || !may_clear_by_itself(GetLastError(), snapshot)) {
            return false;
        }
        Sleep(delay_ms);
        delay_ms *= 2;
    }
}

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

void write_snapshot_file(const std::filesystem::path& snapshot, const SnapshotPieces& pieces,
                         const std::filesystem::path* set_aside) {
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
    const bool set_aside_done =
        set_aside == nullptr || replace_durably(snapshot, *set_aside) || GetLastError() == ERROR_FILE_NOT_FOUND;
    if (!set_aside_done || !replace_durably(temporary, snapshot)) {
        DeleteFileW(temporary.c_str());
        throw std::runtime_error(kCannotReplaceSnapshot);
    }
}

void run_as_background_work() noexcept {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

std::optional<EngineState> read_snapshot_file(const std::filesystem::path& snapshot) {
    // A directory does not open without FILE_FLAG_BACKUP_SEMANTICS.
    const Handle file(CreateFileW(snapshot.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    // Only a file on disk: a pipe, or a device under a name Windows reserves (NUL, COM1, also with an
    // extension), may have no end or block the read, as a FIFO could on Linux.
    LARGE_INTEGER size{};
    if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size) ||
        size.QuadPart < 0) {
        return std::nullopt;
    }
    WindowsFileSource source(file.get(), static_cast<std::uint64_t>(size.QuadPart));
    return decode_snapshot(source);
}

} // namespace kelvara
