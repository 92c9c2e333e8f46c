#pragma once

#include <obs.h>

#include <atomic>
#include <string>

namespace kelvara {

// The ID that names a source's snapshot file.
//
// Hosts from libobs 29.1 give every source a UUID (obs_source_get_uuid, looked up at run time so that the
// module also loads into libobs 29.0). On a host without it the module keeps a UUID of its own, made once,
// under a key of the source's settings that the panel never shows. (Not in the private settings: libobs
// 29.0 hands a loaded source its private settings only after the create callback.) A source that carries
// such a kept ID goes on using it after the host is upgraded, so that it still finds its snapshot.
//
// A duplicated source copies its settings. If a second live source carries the same kept ID, the later one
// gets an ID of its own, so two sources never share a snapshot file.
class SourceIdentity {
public:
    SourceIdentity(obs_source_t* source, obs_data_t* settings);
    ~SourceIdentity();
    SourceIdentity(const SourceIdentity&) = delete;
    SourceIdentity& operator=(const SourceIdentity&) = delete;

    // Empty when the host knows no UUID for the source; the snapshot path then refuses it.
    const std::string& value() const noexcept { return value_; }

    // Writes the kept ID back into settings that lost it: resetting a source's settings clears every key,
    // hidden ones included. Does nothing for a host UUID.
    void restore_into(obs_data_t* settings) const;

    // Gives a kept ID free for another live source. The source's destruction calls it first thing: a scene
    // collection that is released and loaded again before the rest of the teardown has run must find its
    // sources' IDs free. Thread-safe and idempotent.
    void release() noexcept;

private:
    std::string value_;
    bool kept_ = false;                   // value_ is a kept ID, stored in the settings
    std::atomic<bool> registered_{false}; // value_ counts as live
};

} // namespace kelvara
