#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fstream>

#include <sys/stat.h>
#endif

namespace kelvara::test {

#ifdef _WIN32
inline constexpr bool kWindows = true;

using Handle = std::unique_ptr<void, BOOL(WINAPI*)(HANDLE)>;

inline Handle checked(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE) {
        throw std::runtime_error("cannot open a file for the test");
    }
    return Handle(handle, CloseHandle);
}

// A listening named pipe, in the pipes' own namespace: a reader would wait for a writer that never comes.
struct PipeInFilePlace {
    explicit PipeInFilePlace(const std::filesystem::path&) {}
    std::filesystem::path path = L"\\\\.\\pipe\\kelvara-test-" + std::to_wstring(GetCurrentProcessId());
    Handle pipe =
        checked(CreateNamedPipeW(path.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
};

// Opened as scanners do, not sharing deletion: until reset(), the file can be neither replaced nor removed.
inline Handle hold_open(const std::filesystem::path& file) {
    return checked(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
}
#else
inline constexpr bool kWindows = false;

// A FIFO, which a reader waits on for a writer that never comes.
struct PipeInFilePlace {
    explicit PipeInFilePlace(const std::filesystem::path& directory) : path(directory / "fifo") {
        if (::mkfifo(path.c_str(), 0600) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
    }
    std::filesystem::path path;
};

// Open for reading until reset(), as another program would hold it; POSIX lets it be replaced meanwhile.
inline std::unique_ptr<std::ifstream> hold_open(const std::filesystem::path& file) {
    return std::make_unique<std::ifstream>(file);
}
#endif

} // namespace kelvara::test
