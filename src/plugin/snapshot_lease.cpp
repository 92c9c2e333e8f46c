#include "plugin/snapshot_lease.hpp"

#include <map>

namespace kelvara {
namespace {

std::mutex leases_mutex;
std::map<std::string, std::weak_ptr<SnapshotLease>> leases;

} // namespace

std::shared_ptr<SnapshotLease> SnapshotLease::claim(const std::string& id, obs_source_t* source,
                                                    bool always_take_over) {
    std::shared_ptr<SnapshotLease> previous;
    auto lease = std::make_shared<SnapshotLease>(id, source);
    {
        std::lock_guard lock(leases_mutex);
        std::weak_ptr<SnapshotLease>& entry = leases[id];
        previous = entry.lock();
        if (previous && !always_take_over && !previous->given_up()) {
            return nullptr;
        }
        entry = lease;
    }
    // Without the registry lock: retiring waits for the old holder's running save.
    if (previous) {
        previous->retire_holder();
    }
    return lease;
}

SnapshotLease::SnapshotLease(std::string id, obs_source_t* source)
    : id_(std::move(id)), weak_source_(obs_source_get_weak_source(source)) {}

SnapshotLease::~SnapshotLease() {
    obs_weak_source_release(weak_source_);
}

void SnapshotLease::hold(SnapshotHolder& holder) noexcept {
    std::lock_guard lock(holder_mutex_);
    holder_ = &holder;
}

void SnapshotLease::give_up() noexcept {
    given_up_.store(true);
}

bool SnapshotLease::given_up() const noexcept {
    return given_up_.load() || obs_weak_source_expired(weak_source_);
}

void SnapshotLease::retire_holder() noexcept {
    std::lock_guard lock(holder_mutex_);
    if (holder_ != nullptr) {
        holder_->retire();
        holder_ = nullptr;
    }
}

void SnapshotLease::release() noexcept {
    {
        std::lock_guard lock(holder_mutex_);
        holder_ = nullptr;
    }
    std::lock_guard lock(leases_mutex);
    const auto found = leases.find(id_);
    if (found != leases.end() && (found->second.expired() || found->second.lock().get() == this)) {
        leases.erase(found);
    }
}

} // namespace kelvara
