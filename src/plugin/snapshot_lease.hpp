#pragma once

#include <obs.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace kelvara {

// A source that writes a snapshot file and can be told to stop writing it for good.
class SnapshotHolder {
public:
    // Returns once no save of the holder runs or will ever run again.
    virtual void retire() noexcept = 0;

protected:
    ~SnapshotHolder() = default;
};

// One live source's right to write the snapshot file of an ID: two instances of one source never write the
// same file at the same time, on hosts that give sources UUIDs and on hosts where the module keeps its own IDs.
//
// A source that is loaded again while its old instance still exists (a scene collection reloaded while a
// projector or a plug-in holds the old one, or the graphics thread draws it one more frame) is the same
// source: it takes the lease over, and the old instance is retired first, its running save finished. The
// old instance must have been given up for that (removed from the host, or released for good); while it is
// still in use, the new one is a copy (a duplicate, a paste) and needs an ID of its own.
class SnapshotLease {
public:
    // Claims `id` for `source`, retiring the old holder when it was given up or `always_take_over` is set (an ID
    // the host gives, which copies never share). Nothing when the old holder is in use. UI thread, where the
    // host creates sources.
    static std::shared_ptr<SnapshotLease> claim(const std::string& id, obs_source_t* source, bool always_take_over);

    SnapshotLease(std::string id, obs_source_t* source);
    ~SnapshotLease();
    SnapshotLease(const SnapshotLease&) = delete;
    SnapshotLease& operator=(const SnapshotLease&) = delete;

    // From now on a successor retires `holder` before it takes the lease over.
    void hold(SnapshotHolder& holder) noexcept;
    // The source was removed from the host or its destruction began: a successor may take over.
    void give_up() noexcept;
    // The holder writes no more and is going away: it is forgotten, and the ID freed unless a successor has it.
    void release() noexcept;

private:
    bool given_up() const noexcept;
    void retire_holder() noexcept;

    const std::string id_;
    obs_weak_source_t* const weak_source_; // expires once the host dropped its last reference
    std::atomic<bool> given_up_{false};
    std::mutex holder_mutex_; // held while the holder is retired, so that it is not freed meanwhile
    SnapshotHolder* holder_ = nullptr;
};

} // namespace kelvara
