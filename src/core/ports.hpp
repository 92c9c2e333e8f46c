#pragma once

#include "core/records.hpp"

#include <cstdint>
#include <optional>

namespace kelvara {

struct EngineState;

// The engine's four ways out. The engine holds plain pointers to them; the source context owns the adapters
// and destroys them only after the engine. Each port has its virtual destructor and one operation.

// Monotonic milliseconds since an arbitrary origin; never decreases.
class ClockPort {
public:
    virtual ~ClockPort() = default;
    virtual std::uint64_t now_ms() = 0;
};

// Starts one exchange and returns at once. Called with the source lock held, so it must neither block nor
// take that lock; the result comes back later as a CompletedOutcome with the same id.
class MetadataPort {
public:
    virtual ~MetadataPort() = default;
    virtual void start_discovery(std::uint64_t request_id, const DiscoveryRequest& request) = 0;
};

// Puts the approved revision on the output, or nothing when the optional is empty. Must not call back into
// the engine; repeating the same revision is harmless.
class RenderPort {
public:
    virtual ~RenderPort() = default;
    virtual void show_approved(const std::optional<RenderRevision>& approved) = 0;
};

// Persists the whole state durably and atomically; returns only once it is stored and throws a
// std::exception on any failure.
class StorePort {
public:
    virtual ~StorePort() = default;
    virtual void save(const EngineState& state) = 0;
};

} // namespace kelvara
