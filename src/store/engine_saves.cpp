#include "store/engine_saves.hpp"

namespace kelvara {
namespace {

// The images a state holds, to be dropped by the writer's thread once the state is replaced.
std::vector<ImageBytes> images_of(const EngineState& state) {
    std::vector<ImageBytes> images;
    for (const auto* revision : {&state.approved, &state.candidate}) {
        if (*revision) {
            images.push_back((*revision)->image_bytes);
        }
    }
    return images;
}

} // namespace

void EngineSaves::finish(bool saved) {
    std::vector<ImageBytes> replaced = images_of(engine_.state());
    engine_.finish_save(saved);
    writer_.release(std::move(replaced));
}

void EngineSaves::note_raiser(SaveRaiser raiser) noexcept {
    if (engine_.save_pending()) {
        raiser_ = raiser;
    }
}

std::optional<FinishedSave> EngineSaves::finish_written() {
    if (!engine_.save_pending() || raiser_ == SaveRaiser::caller) {
        return std::nullopt;
    }
    auto result = writer_.take_result();
    if (!result) {
        return std::nullopt; // still being written
    }
    FinishedSave finished{raiser_, *result};
    finish(!finished.error);
    return finished;
}

bool EngineSaves::run_for_caller(std::unique_lock<std::mutex>& lock, const std::function<bool(ApprovalEngine&)>& event,
                                 const std::function<void(const FinishedSave&)>& on_finished) {
    lock.lock();
    // Saves happen in event order: first the change someone else raised must be written and finished.
    while (engine_.save_pending()) {
        if (auto finished = finish_written()) {
            on_finished(*finished);
            continue;
        }
        lock.unlock();
        writer_.wait();
        lock.lock();
    }
    const bool result = event(engine_);
    if (!engine_.save_pending()) {
        lock.unlock();
        return result;
    }
    raiser_ = SaveRaiser::caller;
    lock.unlock();
    writer_.wait();
    lock.lock();
    const FinishedSave finished{SaveRaiser::caller, writer_.take_result().value_or(nullptr)};
    finish(!finished.error);
    on_finished(finished);
    lock.unlock();
    if (finished.error) {
        std::rethrow_exception(finished.error);
    }
    return result;
}

const char* describe_failure(const std::exception_ptr& error) noexcept {
    try {
        if (error) {
            std::rethrow_exception(error);
        }
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
    }
    return "unknown error";
}

} // namespace kelvara
