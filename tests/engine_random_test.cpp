#include "support/engine_harness.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

namespace kelvara {
namespace {

using Kind = MetadataOutcomeKind;
using test::EngineHarness;

// Drives one engine through long random sequences of every event and answer, and checks the engine's
// promises after each step. A failure names the seed; KELVARA_SEED=<n> replays it.
class RandomEngineRun {
public:
    explicit RandomEngineRun(std::uint64_t seed) : random_(seed) {}

    void run(int steps) {
        for (int step = 0; step < steps && !::testing::Test::HasFailure(); ++step) {
            SCOPED_TRACE("step " + std::to_string(step));
            h_.store.fail = chance(10);
            one_event();
            EXPECT_TRUE(is_valid_state(h_.state()));
        }
    }

private:
    bool chance(int percent) { return std::uniform_int_distribution<int>(0, 99)(random_) < percent; }
    std::uint64_t pick(std::uint64_t low, std::uint64_t high) {
        return std::uniform_int_distribution<std::uint64_t>(low, high)(random_);
    }

    // Mostly just around the cursor, so that paging, supersession and rejection keep meeting each other.
    std::uint64_t revision_number() {
        const auto cursor = h_.state().discovery_cursor;
        return chance(80) ? pick(cursor > 3 ? cursor - 3 : 1, cursor + 4) : pick(1, 40);
    }

    std::optional<RenderRevision> random_revision() {
        if (chance(5)) {
            return std::nullopt;
        }
        const std::string banner = chance(90) ? h_.state().banner_id : "other";
        auto revision =
            test::with_flags(test::make_revision(banner.empty() ? "abc" : banner, revision_number(),
                                                 chance(70) ? test::UrlForm::render : test::UrlForm::revision),
                             chance(40), chance(50), chance(20));
        revision.latest_painting_sequence = pick(0, 400);
        if (chance(5)) {
            revision.width = 0; // invalid
        }
        return revision;
    }

    // A transaction that reports a change must have saved exactly the committed state; one that threw
    // must have left the state alone.
    template <typename Event>
    void transaction(Event event, bool unchanged_settings = false) {
        const auto before = h_.state();
        const auto saves = h_.store.saves.size();
        try {
            if (event() && !unchanged_settings) {
                ASSERT_EQ(h_.store.saves.size(), saves + 1);
                EXPECT_EQ(h_.store.saves.back(), h_.state());
            } else {
                EXPECT_EQ(h_.store.saves.size(), saves);
            }
        } catch (const std::runtime_error&) {
            EXPECT_EQ(h_.state(), before);
        }
    }

    void one_event() {
        auto& engine = *h_.engine;
        switch (pick(0, 11)) {
        case 0:
        case 1: {
            const bool was_in_flight = engine.in_flight();
            const auto requests = h_.metadata.requests.size();
            engine.poll_if_due();
            if (h_.metadata.requests.size() != requests) {
                EXPECT_FALSE(was_in_flight) << "two requests in flight";
                EXPECT_EQ(h_.metadata.requests.size(), requests + 1);
            }
            break;
        }
        case 2:
        case 3:
        case 4: {
            const auto id = chance(90) ? engine.in_flight_request_id() : pick(0, 50);
            const auto kind = static_cast<Kind>(chance(60) ? 0 : pick(0, 8));
            const auto saves = h_.store.saves.size();
            try {
                engine.handle_outcome(id, kind, random_revision(),
                                      chance(50) ? std::optional<std::string>("\"e\"") : std::nullopt);
                if (h_.store.saves.size() > saves) {
                    EXPECT_EQ(h_.store.saves.back(), h_.state());
                }
            } catch (const std::runtime_error&) {
                EXPECT_FALSE(engine.in_flight());
            }
            break;
        }
        case 5:
            transaction([&] { return engine.claim_notification(); });
            break;
        case 6:
            transaction([&] { return engine.mark_previewed(); });
            break;
        case 7:
            transaction([&] { return engine.accept_candidate(); });
            break;
        case 8:
            transaction([&] { return engine.reject_candidate(); });
            break;
        case 9:
            transaction([&] { return engine.retry_discovery(); });
            break;
        case 10: {
            const bool pinned = chance(20);
            const std::string banner = chance(80) ? "abc" : "xyz";
            const std::optional<std::uint64_t> revision =
                pinned || chance(3) ? std::optional(pick(0, 5)) : std::nullopt;
            const auto& s = h_.state();
            const bool unchanged = banner == s.banner_id && pinned == s.pinned && revision == s.pinned_revision;
            transaction([&] { return engine.apply_settings(banner, pinned, revision); }, unchanged);
            break;
        }
        default:
            h_.clock.now += pick(0, 400000);
            break;
        }
    }

    std::mt19937_64 random_;
    EngineHarness h_;
};

TEST(EngineRandom, InvariantsHoldUnderRandomEvents) {
    std::vector<std::uint64_t> seeds{1, 2, 3, 4, 5, 6, 7, 8};
    if (const char* fixed = std::getenv("KELVARA_SEED")) {
        seeds = {std::strtoull(fixed, nullptr, 10)};
    } else {
        seeds.push_back(std::random_device{}());
    }
    for (const auto seed : seeds) {
        SCOPED_TRACE("seed " + std::to_string(seed) + " (replay with KELVARA_SEED)");
        RandomEngineRun(seed).run(20000);
        if (HasFailure()) {
            return;
        }
    }
}

} // namespace
} // namespace kelvara
