#include "output/rgba_image.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kelvara {

PixelBuffer allocate_pixels(std::size_t bytes) {
    constexpr std::size_t kHugePage = 2 * 1024 * 1024;
    void* memory = nullptr;
    if (bytes >= 2 * kHugePage) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        memory = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        if (memory != nullptr) {
            madvise(memory, rounded, MADV_HUGEPAGE); // a hint: without huge pages it works the same
        }
#endif
    } else {
        memory = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return PixelBuffer(static_cast<std::uint8_t*>(memory));
}

} // namespace kelvara
