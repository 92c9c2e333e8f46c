#pragma once

#include <memory>
#include <mutex>

namespace kelvara {
namespace detail {

// The one slot of each T, whichever maker fills it.
template <typename T>
struct SharedSlot {
    static inline std::mutex mutex;
    static inline std::weak_ptr<T> current;
};

} // namespace detail

// One T for the whole process for as long as anyone holds it: made by the first caller (with `make`), gone
// with the last holder, and made anew by the next caller after that. Thread-safe.
template <typename T, typename Make>
std::shared_ptr<T> shared_instance(Make make) {
    using Slot = detail::SharedSlot<T>;
    std::lock_guard lock(Slot::mutex);
    auto instance = Slot::current.lock();
    if (!instance) {
        instance = make();
        Slot::current = instance;
    }
    return instance;
}

template <typename T>
std::shared_ptr<T> shared_instance() {
    return shared_instance<T>([] { return std::make_shared<T>(); });
}

} // namespace kelvara
