// Exhausted memory inside the parallel region of estimate: allocations fail
// inside OpenMP regions only, and the failure must leave as std::bad_alloc.

#include <gtest/gtest.h>

#include <new>

#include "failing_allocator.hpp"
#include "noise/sensor_noise.hpp"
#include "noise_test_images.hpp"

namespace {

TEST(EstimateOutOfMemory, FailureInAWorkerLeavesAsBadAlloc) {
    const px::array image = noise_test::noisy_plane(40, 40, 50.0f, 1.0f, 1.0f, 9);
    px::sensor_noise noise;
    {
        failing_allocator::fail_in_parallel_regions scope;
        EXPECT_THROW(noise.estimate(image), std::bad_alloc);
    }
    noise.estimate(image);
    EXPECT_GT(noise.gain[0], 0.0f);
}

}  // namespace
