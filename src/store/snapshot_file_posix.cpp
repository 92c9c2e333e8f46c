#include "store/snapshot_file.hpp"

#include "core/log.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace kelvara {
namespace {

// Closes the descriptor on every way out; close errors matter only for the written file, which closes
// it itself through release().
class Descriptor {
public:
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Writes every piece, continuing after short writes. A write that fails is not tried again: after an I/O
// error the kernel may already have dropped the data, and a repeated call could report success for it.
bool write_all(int fd, const std::vector<std::span<const std::uint8_t>>& pieces) {
    std::vector<iovec> vectors;
    for (const auto piece : pieces) {
        if (!piece.empty()) {
            vectors.push_back({const_cast<std::uint8_t*>(piece.data()), piece.size()});
        }
    }
    std::size_t first = 0;
    while (first < vectors.size()) {
        const auto count = std::min<std::size_t>(vectors.size() - first, IOV_MAX);
        const auto written = ::writev(fd, &vectors[first], static_cast<int>(count));
        if (written < 0 && errno == EINTR) {
            continue; // interrupted before anything was written
        }
        if (written <= 0) {
            return false;
        }
        auto done = static_cast<std::size_t>(written);
        while (first < vectors.size() && done >= vectors[first].iov_len) {
            done -= vectors[first].iov_len;
            ++first;
        }
        if (done > 0) {
            vectors[first].iov_base = static_cast<std::uint8_t*>(vectors[first].iov_base) + done;
            vectors[first].iov_len -= done;
        }
    }
    return true;
}

// Makes the directory's entries durable. File systems that cannot sync a directory say so with EINVAL;
// there is nothing more to do on them.
bool sync_directory(const std::filesystem::path& directory) {
    const Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && (::fsync(fd.get()) == 0 || errno == EINVAL);
}

void sync_new_directories(const std::filesystem::path& directory, const std::filesystem::path& existing) {
    for (auto current = directory.parent_path();; current = current.parent_path()) {
        const auto target = current.empty() ? std::filesystem::path(".") : current;
        if (!sync_directory(target)) {
            throw std::filesystem::filesystem_error("create_directories", target,
                                                    std::error_code(errno, std::generic_category()));
        }
        if (target == existing || current.empty() || current == current.parent_path()) {
            return;
        }
    }
}

class PosixFileSource final : public BufferedFileSource {
public:
    PosixFileSource(int fd, std::uint64_t size) : BufferedFileSource(size), fd_(fd) {}

protected:
    std::optional<std::size_t> read_some(std::span<std::uint8_t> out) override {
        for (;;) {
            const auto count = ::read(fd_, out.data(), out.size());
            if (count >= 0) {
                return static_cast<std::size_t>(count);
            }
            if (errno != EINTR) {
                return std::nullopt;
            }
        }
    }

private:
    int fd_;
};

} // namespace

void write_snapshot_file(const std::filesystem::path& snapshot, const SnapshotPieces& pieces,
                         const std::filesystem::path* set_aside) {
    const auto directory = snapshot.parent_path();
    if (const auto existing = create_snapshot_directory(directory)) {
        sync_new_directories(directory, *existing);
    }
    const auto temporary = temporary_snapshot_path(snapshot);
    Descriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) {
        throw std::runtime_error(kCannotOpenTemporarySnapshot);
    }
    // The data must be on disk before the rename can publish it; otherwise a crash could leave the new
    // name pointing at an empty or partial file.
    bool written = write_all(fd.get(), pieces.spans()) && ::fsync(fd.get()) == 0;
    written = ::close(fd.release()) == 0 && written;
    if (!written) {
        ::unlink(temporary.c_str());
        throw std::runtime_error(kCannotWriteSnapshot);
    }
    if (set_aside != nullptr && ::rename(snapshot.c_str(), set_aside->c_str()) != 0 && errno != ENOENT) {
        ::unlink(temporary.c_str());
        throw std::runtime_error(kCannotReplaceSnapshot);
    }
    if (::rename(temporary.c_str(), snapshot.c_str()) != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error(kCannotReplaceSnapshot);
    }
    // The rename is the commit: from here on every reader, and the next start, finds the new snapshot, so the
    // save must not be reported as failed. Syncing the directory makes the rename survive a power loss too;
    // when that fails, which after a failed fsync nothing can repair, it is said in the log.
    if (!sync_directory(directory.empty() ? std::filesystem::path(".") : directory)) {
        log_line(LogLevel::warning,
                 "[kelvara] Approval snapshot saved, but its folder could not be synced: it may not survive a "
                 "power loss (%s)",
                 std::strerror(errno));
    }
}

void run_as_background_work() noexcept {
#ifdef SCHED_BATCH
    // A batch thread that wakes up does not preempt the thread that woke it, nor any other running one.
    const sched_param parameters{};
    pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
#endif
}

std::optional<EngineState> read_snapshot_file(const std::filesystem::path& snapshot) {
    // O_NONBLOCK keeps a FIFO in the snapshot's place from blocking the open; it changes nothing for a
    // regular file, and anything else is refused below.
    const Descriptor fd(::open(snapshot.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat status {};
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    PosixFileSource source(fd.get(), static_cast<std::uint64_t>(status.st_size));
    return decode_snapshot(source);
}

} // namespace kelvara
