#include "review/preview_registry.hpp"

#include <utility>

namespace kelvara {

PreviewRegistry::Hold::Hold(PreviewRegistry& registry, const void* source) : registry_(registry), source_(source) {
    registry_.open_[source_] = Preview{};
}

PreviewRegistry::Hold::~Hold() {
    const auto found = registry_.open_.find(source_);
    if (found == registry_.open_.end()) {
        return;
    }
    Preview closed = std::move(found->second);
    registry_.open_.erase(found);
    if (closed.announced && closed.announced != closed.shown && closed.present_later) {
        closed.present_later();
    }
}

void PreviewRegistry::Hold::showing(std::uint64_t revision, std::function<void()> raise, std::function<void()> close) {
    Preview& preview = registry_.open_[source_];
    preview.shown = revision;
    preview.raise = std::move(raise);
    preview.close = std::move(close);
}

void PreviewRegistry::dismiss(const void* source) {
    const auto found = open_.find(source);
    if (found == open_.end()) {
        return;
    }
    found->second.announced.reset();
    found->second.present_later = nullptr;
    if (auto close = found->second.close) {
        close(); // the dialog's event loop ends once this call has returned
    }
}

bool PreviewRegistry::route_to_open(const void* source, std::optional<std::uint64_t> revision,
                                    std::function<void()> present_later) {
    const auto found = open_.find(source);
    if (found == open_.end()) {
        return false;
    }
    Preview& preview = found->second;
    if (preview.raise) {
        preview.raise();
    }
    if (revision) {
        preview.announced = revision;
        preview.present_later = std::move(present_later);
    }
    return true;
}

PreviewRegistry& preview_registry() {
    static PreviewRegistry registry;
    return registry;
}

} // namespace kelvara
