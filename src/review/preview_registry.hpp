#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace kelvara {

// At most one preview of a candidate per source at a time. The announcement of a candidate and the
// "Load & Preview" button can both want to show one (a click while the candidate arrives, then the
// announcement of that same candidate): the second brings the open dialog to the front instead of stacking
// another dialog on top of it. An announcement of another revision waits until the open preview has closed,
// so that a newer candidate is still presented once.
//
// UI thread only; sources are told apart by their address.
class PreviewRegistry {
public:
    // The source is busy with a preview while a Hold lives: from the click on "Load & Preview" (or the
    // announcement) until its dialog has closed.
    class Hold {
    public:
        Hold(PreviewRegistry& registry, const void* source);
        ~Hold();
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

        // The dialog of `revision` is open; `raise` brings it to the front, `close` closes it undecided.
        void showing(std::uint64_t revision, std::function<void()> raise, std::function<void()> close);

    private:
        PreviewRegistry& registry_;
        const void* source_;
    };

    // Whether the source is busy with a preview. If it is, its dialog (if open) is raised, and an announced
    // `revision` that is not the one shown gets `present_later` called once the preview has closed.
    bool route_to_open(const void* source, std::optional<std::uint64_t> revision = std::nullopt,
                       std::function<void()> present_later = {});

    // The source went away: its dialog (if open) closes, deciding nothing, and nothing is presented later.
    void dismiss(const void* source);

private:
    struct Preview {
        std::optional<std::uint64_t> shown;
        std::function<void()> raise;
        std::function<void()> close;
        std::optional<std::uint64_t> announced;
        std::function<void()> present_later;
    };
    std::map<const void*, Preview> open_;
};

// The module's registry.
PreviewRegistry& preview_registry();

} // namespace kelvara
