#pragma once
// This test program replaces the global allocation functions so that tests
// can make allocations fail on demand and check how the code reports it.

#include <cstddef>

namespace failing_allocator {

// While alive, every request of exactly this many bytes throws std::bad_alloc.
struct fail_size {
    explicit fail_size(std::size_t bytes);
    ~fail_size();
    fail_size(const fail_size&) = delete;
    fail_size& operator=(const fail_size&) = delete;
};

// While alive, every request made inside an OpenMP parallel region throws.
struct fail_in_parallel_regions {
    fail_in_parallel_regions();
    ~fail_in_parallel_regions();
    fail_in_parallel_regions(const fail_in_parallel_regions&) = delete;
    fail_in_parallel_regions& operator=(const fail_in_parallel_regions&) = delete;
};

}  // namespace failing_allocator
