// Exhausted memory inside the parallel region of estimate, simulated by an
// operator new that fails on demand inside OpenMP regions only. Left out of
// the address-sanitizer build, whose own allocator cannot be replaced.

#if !defined(__SANITIZE_ADDRESS__)

#include <gtest/gtest.h>
#include <omp.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "noise/sensor_noise.hpp"
#include "noise_test_images.hpp"

namespace {
std::atomic<bool> fail_in_parallel_regions{false};
}  // namespace

void* operator new(std::size_t size) {
    if (fail_in_parallel_regions.load() && omp_get_level() > 0) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }

namespace {

TEST(EstimateOutOfMemory, FailureInAWorkerLeavesAsBadAlloc) {
    const px::array image = noise_test::noisy_plane(40, 40, 50.0f, 1.0f, 1.0f, 9);
    px::sensor_noise noise;
    fail_in_parallel_regions = true;
    EXPECT_THROW(noise.estimate(image), std::bad_alloc);
    fail_in_parallel_regions = false;

    noise.estimate(image);
    EXPECT_GT(noise.gain[0], 0.0f);
}

}  // namespace

#endif
