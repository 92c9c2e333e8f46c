#include "review/preview_registry.hpp"

#include <gtest/gtest.h>

namespace kelvara {
namespace {

// One source's preview is open, another's is not. Columns: shown in the open dialog (nothing: still waiting
// for it), announced meanwhile, the source went away, presented once it closes.
TEST(PreviewRegistry, OnePreviewPerSourceAndNewerAnnouncementsWaitForIt) {
    const std::tuple<const char*, std::optional<std::uint64_t>, std::uint64_t, bool, bool> cases[] = {
        {"same revision as the open dialog", 4, 4, false, false},
        {"newer revision", 4, 5, false, true},
        {"newer revision of a source that went away", 4, 5, true, false},
        {"announced while the button waits, then shown", std::nullopt, 4, false, false}};
    for (const auto& [name, shown, announced, dismissed, presented_later] : cases) {
        SCOPED_TRACE(name);
        PreviewRegistry registry;
        const int source = 0, other = 0;
        int raised = 0, presented = 0, closed = 0;
        const std::function<void()> raise = [&] { ++raised; }, close = [&] { ++closed; };
        {
            PreviewRegistry::Hold hold(registry, &source);
            EXPECT_FALSE(registry.route_to_open(&other, 1, [&] { ++presented; }));
            if (shown) {
                hold.showing(*shown, raise, close);
            }
            EXPECT_TRUE(registry.route_to_open(&source, announced, [&] { ++presented; }));
            hold.showing(shown.value_or(announced), raise, close);
            EXPECT_TRUE(registry.route_to_open(&source)); // a click on the button
            if (dismissed) {
                registry.dismiss(&source);
            }
            EXPECT_EQ(presented, 0);
        }
        EXPECT_EQ(raised, shown ? 2 : 1);
        EXPECT_EQ(closed, dismissed ? 1 : 0);
        EXPECT_EQ(presented, presented_later ? 1 : 0);
        EXPECT_FALSE(registry.route_to_open(&source));
    }
}

} // namespace
} // namespace kelvara
