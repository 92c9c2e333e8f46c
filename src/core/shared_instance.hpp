#pragma once

#include <memory>
#include <mutex>

namespace kelvara {

// One T for the whole process for as long as anyone holds it: made by the first caller, gone with the last
// holder, and made anew by the next caller after that. Thread-safe.
template <typename T>
std::shared_ptr<T> shared_instance() {
    static std::mutex mutex;
    static std::weak_ptr<T> current;
    std::lock_guard lock(mutex);
    auto instance = current.lock();
    if (!instance) {
        instance = std::make_shared<T>();
        current = instance;
    }
    return instance;
}

} // namespace kelvara
