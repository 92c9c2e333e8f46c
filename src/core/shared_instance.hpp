#pragma once

#include <memory>
#include <mutex>

namespace kelvara {

// One T for the whole process for as long as anyone holds it: made by the first caller (with `make`), gone
// with the last holder, and made anew by the next caller after that. Thread-safe.
template <typename T, typename Make>
std::shared_ptr<T> shared_instance(Make make) {
    static std::mutex mutex; // one of each per T: every T has one function of its own that calls this
    static std::weak_ptr<T> current;
    std::lock_guard lock(mutex);
    auto instance = current.lock();
    if (!instance) {
        instance = make();
        current = instance;
    }
    return instance;
}

template <typename T>
std::shared_ptr<T> shared_instance() {
    return shared_instance<T>([] { return std::make_shared<T>(); });
}

} // namespace kelvara
