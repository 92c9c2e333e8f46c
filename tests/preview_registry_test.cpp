#include "review/preview_registry.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

// One source's preview is open while another source's is not; what an announcement that arrives meanwhile
// leads to once the preview closes.
TEST(PreviewRegistry, OnePreviewPerSourceAndNewerAnnouncementsWaitForIt) {
    const struct {
        const char* name;
        std::optional<std::uint64_t> shown; // nothing: still waiting for the candidate
        std::uint64_t announced;
        bool presented_later;
    } cases[] = {{"same revision as the open dialog", 4, 4, false},
                 {"newer revision", 4, 5, true},
                 {"announced while the button waits, then shown", std::nullopt, 4, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PreviewRegistry registry;
        const int source = 0, other = 0;
        int raised = 0, presented = 0;
        {
            PreviewRegistry::Hold hold(registry, &source);
            EXPECT_FALSE(registry.route_to_open(&other, 1, [&] { ++presented; }));
            if (c.shown) {
                hold.showing(*c.shown, [&] { ++raised; });
            }
            EXPECT_TRUE(registry.route_to_open(&source, c.announced, [&] { ++presented; }));
            hold.showing(c.shown.value_or(c.announced), [&] { ++raised; });
            EXPECT_TRUE(registry.route_to_open(&source)); // a click on the button
            EXPECT_EQ(presented, 0);
        }
        EXPECT_EQ(raised, c.shown ? 2 : 1);
        EXPECT_EQ(presented, c.presented_later ? 1 : 0);
        EXPECT_FALSE(registry.route_to_open(&source));
    }
}

} // namespace
} // namespace kelvara
