// The standard allocation behaviour, except while a failing_allocator guard
// is alive. Every non-aligned form is replaced so that allocation and
// release always pair up.

#include "failing_allocator.hpp"

#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::size_t> failing_size{0};
std::atomic<bool> failing_in_parallel{false};

void* allocate(std::size_t size) {
    const std::size_t failing = failing_size.load(std::memory_order_relaxed);
    if (failing != 0 && size == failing) throw std::bad_alloc();
    if (failing_in_parallel.load(std::memory_order_relaxed) && omp_get_level() > 0) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
}  // namespace

namespace failing_allocator {
fail_size::fail_size(std::size_t bytes) { failing_size = bytes; }
fail_size::~fail_size() { failing_size = 0; }
fail_in_parallel_regions::fail_in_parallel_regions() { failing_in_parallel = true; }
fail_in_parallel_regions::~fail_in_parallel_regions() { failing_in_parallel = false; }
}  // namespace failing_allocator

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
