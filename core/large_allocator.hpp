#pragma once
// An allocator whose large blocks are mapped from the system apart from the C
// library's heaps and unmapped when freed.
//
// The engine and the second stage run on a worker thread, whose image-sized
// arrays would otherwise come from that thread's heap; the C library keeps the
// top of such a heap when it is freed, so a process would hold the peak of
// every run until it exits. Small blocks go through operator new as usual.
// Sanitizer builds use operator new throughout, so that every access stays
// checked against its block.

#include <cstddef>
#include <new>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(memory_sanitizer)
#define PX_LARGE_ALLOCATOR_HEAP_ONLY 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define PX_LARGE_ALLOCATOR_HEAP_ONLY 1
#endif
#if !defined(PX_LARGE_ALLOCATOR_HEAP_ONLY) && (defined(__unix__) || defined(__APPLE__))
#include <sys/mman.h>
#define PX_LARGE_ALLOCATOR_MAPS 1
#endif

namespace px {

// Blocks of at least this many bytes are mapped apart.
inline constexpr std::size_t large_block_bytes = std::size_t{256} << 10;

template <class T>
struct large_allocator {
    using value_type = T;

    large_allocator() = default;
    template <class U>
    large_allocator(const large_allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
#if defined(PX_LARGE_ALLOCATOR_MAPS)
        if (bytes >= large_block_bytes) {
            void* block = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (block == MAP_FAILED) throw std::bad_alloc();
            return static_cast<T*>(block);
        }
#endif
        return static_cast<T*>(::operator new(bytes));
    }

    void deallocate(T* block, std::size_t n) noexcept {
#if defined(PX_LARGE_ALLOCATOR_MAPS)
        if (n * sizeof(T) >= large_block_bytes) {
            munmap(block, n * sizeof(T));
            return;
        }
#endif
        ::operator delete(block);
    }

    friend bool operator==(const large_allocator&, const large_allocator&) noexcept { return true; }
    friend bool operator!=(const large_allocator&, const large_allocator&) noexcept { return false; }
};

// A vector for image-sized buffers.
template <class T>
using large_vector = std::vector<T, large_allocator<T>>;

}  // namespace px
