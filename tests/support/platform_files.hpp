#pragma once

// What the store tests need from the platform's own file interface: a pipe where a file is expected, and a
// file held open the way another program holds it.

#include <filesystem>
#include <stdexcept>
#include <string>

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

// A listening named pipe: a reader that opens it and reads waits for a writer that never comes. Pipes have
// their own namespace on Windows, so the path is not in `directory`.
class PipeInFilePlace {
public:
    explicit PipeInFilePlace(const std::filesystem::path&)
        : path_(L"\\\\.\\pipe\\kelvara-test-" + std::to_wstring(GetCurrentProcessId())),
          pipe_(
              CreateNamedPipeW(path_.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr)) {
        if (pipe_ == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("cannot create a named pipe");
        }
    }
    PipeInFilePlace(const PipeInFilePlace&) = delete;
    PipeInFilePlace& operator=(const PipeInFilePlace&) = delete;
    ~PipeInFilePlace() { CloseHandle(pipe_); }

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
    HANDLE pipe_;
};

// Holds a file open as virus scanners and indexers do: sharing reading and writing but not deletion, so that
// the file can be neither replaced nor removed until release().
class HeldOpen {
public:
    explicit HeldOpen(const std::filesystem::path& file)
        : handle_(CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr)) {
        if (handle_ == INVALID_HANDLE_VALUE) {
            throw std::runtime_error("cannot open the file to hold");
        }
    }
    HeldOpen(const HeldOpen&) = delete;
    HeldOpen& operator=(const HeldOpen&) = delete;
    ~HeldOpen() { release(); }

    void release() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
    }

private:
    HANDLE handle_;
};
#else
inline constexpr bool kWindows = false;

// A FIFO in `directory`: a reader that opens it and reads waits for a writer that never comes.
class PipeInFilePlace {
public:
    explicit PipeInFilePlace(const std::filesystem::path& directory) : path_(directory / "fifo") {
        if (::mkfifo(path_.c_str(), 0600) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
    }

    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// Holds a file open for reading, as another program would; POSIX lets it be replaced meanwhile.
class HeldOpen {
public:
    explicit HeldOpen(const std::filesystem::path& file) : stream_(file) {}
    void release() { stream_.close(); }

private:
    std::ifstream stream_;
};
#endif

} // namespace kelvara::test
