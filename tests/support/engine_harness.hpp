#pragma once

#include "core/approval_engine.hpp"
#include "support/fake_ports.hpp"
#include "support/revisions.hpp"

#include <gtest/gtest.h>

#include <memory>

namespace kelvara::test {

// An engine wired to recording fakes, with shortcuts for answering the request in flight.
struct EngineHarness {
    FakeClock clock;
    RecordingMetadata metadata;
    RecordingStore store;
    RecordingRender render;
    std::unique_ptr<ApprovalEngine> engine;

    explicit EngineHarness(EngineState initial = following("abc"), std::uint64_t poll_seconds = 60,
                           SaveMode save_mode = SaveMode::immediate) {
        engine = std::make_unique<ApprovalEngine>(std::move(initial), metadata, store, render, clock, poll_seconds,
                                                  save_mode);
    }

    static EngineState following(const std::string& banner_id) {
        EngineState state;
        state.banner_id = banner_id;
        return state;
    }

    const EngineState& state() const { return engine->state(); }

    // Polls and answers the request that goes out; fails the test when none does.
    void answer(MetadataOutcomeKind kind, std::optional<RenderRevision> revision = std::nullopt,
                std::optional<std::string> etag = std::nullopt) {
        engine->poll_if_due();
        ASSERT_TRUE(engine->in_flight()) << "no request went out";
        engine->handle_outcome(engine->in_flight_request_id(), kind, std::move(revision), std::move(etag));
    }

    void answer_modified(RenderRevision revision, std::optional<std::string> etag = std::nullopt) {
        answer(MetadataOutcomeKind::modified, std::move(revision), std::move(etag));
    }

    const DiscoveryRequest& last_request() const { return metadata.requests.back().second; }
};

// A candidate that needs the operator (paid artwork).
inline RenderRevision paid(const std::string& banner_id, std::uint64_t number, UrlForm form = UrlForm::render) {
    return with_flags(make_revision(banner_id, number, form), true, false, false);
}

// A candidate that may be approved without the operator.
inline RenderRevision filter_only(const std::string& banner_id, std::uint64_t number, UrlForm form = UrlForm::render) {
    return with_flags(make_revision(banner_id, number, form), false, true, false);
}

} // namespace kelvara::test
