#pragma once

#include "plugin/snapshot_lease.hpp"

#include <obs.h>

#include <memory>
#include <string>

namespace kelvara {

// The ID that names a source's snapshot file, and the lease that lets the source write it.
//
// Hosts from libobs 29.1 give every source a UUID (obs_source_get_uuid, looked up at run time so that the
// module also loads into libobs 29.0). On a host without it the module keeps a UUID of its own, made once,
// under a key of the source's settings that the panel never shows. (Not in the private settings: libobs
// 29.0 hands a loaded source its private settings only after the create callback.) A source that carries
// such a kept ID goes on using it after the host is upgraded, so that it still finds its snapshot.
//
// A source loaded with a kept ID is that source, also while its old instance still exists: it takes the ID
// over once the old instance was given up. A copy (duplicate, paste) carries the ID of a source that is still
// in use, and gets an ID of its own.
class SourceIdentity {
public:
    SourceIdentity(obs_source_t* source, obs_data_t* settings);
    SourceIdentity(const SourceIdentity&) = delete;
    SourceIdentity& operator=(const SourceIdentity&) = delete;

    // Empty when the host knows no UUID for the source; the snapshot path then refuses it.
    const std::string& value() const noexcept { return value_; }
    // Null only when value() is empty.
    SnapshotLease* lease() const noexcept { return lease_.get(); }

    // Writes the kept ID back into settings that lost it: resetting a source's settings clears every key,
    // hidden ones included. Does nothing for a host UUID.
    void restore_into(obs_data_t* settings) const;

private:
    std::string value_;
    bool kept_ = false; // value_ is a kept ID, stored in the settings
    std::shared_ptr<SnapshotLease> lease_;
};

} // namespace kelvara
