#pragma once

#include <obs.h>

#include <string>

namespace kelvara {

// The ID that names a source's snapshot file. Hosts from libobs 29.1 give every source a UUID
// (obs_source_get_uuid), looked up at run time so that the module also loads into libobs 29.0. On a host
// without it the module keeps a UUID of its own, made once, under a key of the source's settings that the
// panel never shows. (Not in the private settings: libobs 29.0 hands a loaded source its private settings
// only after the create callback, so a restarted source would not find its ID there.) A duplicated source
// copies its settings; if a second live source carries the same kept ID, the later one gets a new one, so
// two sources never share a snapshot file.
class SourceIdentity {
public:
    SourceIdentity(obs_source_t* source, obs_data_t* settings);
    ~SourceIdentity();
    SourceIdentity(SourceIdentity&& other) noexcept;
    SourceIdentity(const SourceIdentity&) = delete;
    SourceIdentity& operator=(const SourceIdentity&) = delete;
    SourceIdentity& operator=(SourceIdentity&&) = delete;

    // Empty when the host knows no UUID for the source; the snapshot path then refuses it.
    const std::string& value() const noexcept { return value_; }

private:
    std::string value_;
    bool kept_ = false; // ours, in the private settings: given back when the source goes
};

} // namespace kelvara
