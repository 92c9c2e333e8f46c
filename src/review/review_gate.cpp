#include "review/review_gate.hpp"

#include "review/preview_registry.hpp"

#include <QtCore/QCoreApplication>
#include <QtCore/QMetaObject>

namespace kelvara {

template <typename Call, typename Result>
Result ReviewGate::forward(Call call, Result gone) {
    std::lock_guard lock(mutex_);
    return source_ != nullptr ? call(*source_) : gone;
}

void ReviewGate::detach() noexcept {
    {
        std::lock_guard lock(mutex_);
        if (source_ == nullptr) {
            return;
        }
        source_ = nullptr;
    }
    if (QCoreApplication* application = QCoreApplication::instance()) {
        QMetaObject::invokeMethod(
            application,
            [gate = weak_from_this()] {
                if (const auto alive = gate.lock()) {
                    preview_registry().dismiss(alive.get());
                }
            },
            Qt::QueuedConnection);
    }
}

bool ReviewGate::detached() const noexcept {
    std::lock_guard lock(mutex_);
    return source_ == nullptr;
}

std::optional<RenderRevision> ReviewGate::ready_candidate() {
    return forward([](ReviewTarget& source) { return source.ready_candidate(); }, std::optional<RenderRevision>());
}

bool ReviewGate::holds_candidate(std::uint64_t revision) {
    return forward([revision](ReviewTarget& source) { return source.holds_candidate(revision); }, false);
}

std::string ReviewGate::preview_heading(const RenderRevision& candidate) {
    return forward([&candidate](ReviewTarget& source) { return source.preview_heading(candidate); }, std::string());
}

bool ReviewGate::accept_if_current(std::uint64_t revision) {
    return forward([revision](ReviewTarget& source) { return source.accept_if_current(revision); }, false);
}

bool ReviewGate::reject_if_current(std::uint64_t revision) {
    return forward([revision](ReviewTarget& source) { return source.reject_if_current(revision); }, false);
}

bool ReviewGate::retry_discovery() {
    return forward([](ReviewTarget& source) { return source.retry_discovery(); }, false);
}

bool ReviewGate::discovery_caught_up() {
    return forward([](ReviewTarget& source) { return source.discovery_caught_up(); }, true);
}

MissingPreview ReviewGate::missing_preview_reason() {
    return forward([](ReviewTarget& source) { return source.missing_preview_reason(); }, MissingPreview::not_ready);
}

bool ReviewGate::has_valid_input() {
    return forward([](ReviewTarget& source) { return source.has_valid_input(); }, false);
}

} // namespace kelvara
