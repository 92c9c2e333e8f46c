#include "review/preview_registry.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

// One source's preview is open, another's is not; what an announcement meanwhile leads to once it closes.
TEST(PreviewRegistry, OnePreviewPerSourceAndNewerAnnouncementsWaitForIt) {
    // Shown in the open dialog (nothing: still waiting for it), announced meanwhile, presented once it closes.
    const std::tuple<const char*, std::optional<std::uint64_t>, std::uint64_t, bool> cases[] = {
        {"same revision as the open dialog", 4, 4, false},
        {"newer revision", 4, 5, true},
        {"announced while the button waits, then shown", std::nullopt, 4, false}};
    for (const auto& [name, shown, announced, presented_later] : cases) {
        SCOPED_TRACE(name);
        PreviewRegistry registry;
        const int source = 0, other = 0;
        int raised = 0, presented = 0;
        {
            PreviewRegistry::Hold hold(registry, &source);
            EXPECT_FALSE(registry.route_to_open(&other, 1, [&] { ++presented; }));
            if (shown) {
                hold.showing(*shown, [&] { ++raised; });
            }
            EXPECT_TRUE(registry.route_to_open(&source, announced, [&] { ++presented; }));
            hold.showing(shown.value_or(announced), [&] { ++raised; });
            EXPECT_TRUE(registry.route_to_open(&source)); // a click on the button
            EXPECT_EQ(presented, 0);
        }
        EXPECT_EQ(raised, shown ? 2 : 1);
        EXPECT_EQ(presented, presented_later ? 1 : 0);
        EXPECT_FALSE(registry.route_to_open(&source));
    }
}

} // namespace
} // namespace kelvara
