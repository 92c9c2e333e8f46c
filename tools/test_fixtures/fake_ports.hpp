#pragma once

#include "core/engine_state.hpp"
#include "core/ports.hpp"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace kelvara::test {

struct FakeClock final : ClockPort {
    std::uint64_t now = 1000;
    std::uint64_t now_ms() override { return now; }
};

struct RecordingMetadata final : MetadataPort {
    std::vector<std::pair<std::uint64_t, DiscoveryRequest>> requests;
    void start_discovery(std::uint64_t request_id, const DiscoveryRequest& request) override {
        requests.emplace_back(request_id, request);
    }
};

struct RecordingRender final : RenderPort {
    std::vector<std::optional<RenderRevision>> shown;
    void show_approved(const std::optional<RenderRevision>& approved) override { shown.push_back(approved); }
};

// Records every saved state; throws instead while `fail` is set.
struct RecordingStore final : StorePort {
    std::vector<EngineState> saves;
    bool fail = false;
    void save(const EngineState& state) override {
        if (fail) {
            throw std::runtime_error("cannot write approval snapshot");
        }
        saves.push_back(state);
    }
};

} // namespace kelvara::test
