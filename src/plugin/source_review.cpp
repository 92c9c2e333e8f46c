// The source's side of the review: what its gate forwards to it from the announcement, the preview dialog
// and "Load & Preview". UI thread; the gate holds destroy back while a call runs.

#include "plugin/source_context.hpp"

#include "core/banner_rules.hpp"

#include <obs-module.h>

#include <QtCore/QString>

namespace kelvara {
namespace {

bool is_current_candidate(const ApprovalEngine& engine, std::uint64_t revision) {
    return engine.is_review_ready() && engine.state().candidate->render_revision == revision;
}

} // namespace

std::optional<RenderRevision> SourceContext::ready_candidate() {
    std::lock_guard lock(source_mutex_);
    return engine_.is_review_ready() ? engine_.state().candidate : std::nullopt;
}

bool SourceContext::holds_candidate(std::uint64_t revision) {
    std::lock_guard lock(source_mutex_);
    const auto& candidate = engine_.state().candidate;
    return !engine_.stopped() && candidate && candidate->render_revision == revision;
}

std::string SourceContext::preview_heading(const RenderRevision& candidate) {
    const char* name = obs_source_get_name(source_);
    // Both filled in one pass: a source name that holds "%2" stays as the operator wrote it.
    return QString(obs_module_text("Preview.Heading"))
        .arg(QString::fromUtf8(name != nullptr ? name : ""), QString::fromStdString(candidate.banner_id))
        .toStdString();
}

bool SourceContext::accept_if_current(std::uint64_t revision) {
    return run_saving_event([revision](ApprovalEngine& engine) {
        return is_current_candidate(engine, revision) && engine.mark_previewed_and_accept();
    });
}

bool SourceContext::reject_if_current(std::uint64_t revision) {
    return run_saving_event([revision](ApprovalEngine& engine) {
        return is_current_candidate(engine, revision) && engine.reject_candidate();
    });
}

bool SourceContext::retry_discovery() {
    return run_saving_event([](ApprovalEngine& engine) { return engine.retry_discovery(); });
}

// No request out, no answer waiting for the disk, and a next poll time that the answer set (or a source that
// never polls).
bool SourceContext::discovery_caught_up() {
    std::lock_guard lock(source_mutex_);
    const EngineState& state = engine_.state();
    const bool never_polls = state.pinned || !is_valid_banner_id(state.banner_id);
    return !engine_.in_flight() && !engine_.save_pending() && (state.next_poll_due_ms != 0 || never_polls);
}

MissingPreview SourceContext::missing_preview_reason() {
    std::lock_guard lock(source_mutex_);
    if (engine_.in_flight() || engine_.state().candidate) {
        return MissingPreview::not_ready;
    }
    return engine_.state().website_status == WebsiteStatus::available ? MissingPreview::up_to_date
                                                                      : MissingPreview::unreachable;
}

bool SourceContext::has_valid_input() {
    std::lock_guard lock(source_mutex_);
    return settings_.input_kind != BannerInputKind::invalid;
}

} // namespace kelvara
