// Several threads in one pass: the slabs handed out at once never hold
// overlapping patches, and the contribution counts of every sample are
// exactly those of one thread (a lost or doubled addition would show there)
// while the sums differ at most in their last bits.

#include <gtest/gtest.h>
#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "denoise/engine/reference_grid.hpp"
#include "denoise/engine/vorel.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::iteration_arrays;

struct slab_case {
    const char* name;
    px::reference_grid grid;
    std::int32_t patch_radius[4];
};

class Slabs : public testing::TestWithParam<slab_case> {};

TEST_P(Slabs, OneColourNeverOverlaps) {
    const slab_case& c = GetParam();
    const px::slab_plan plan(c.grid, c.patch_radius, 2);
    ASSERT_GE(plan.axis, 0);
    // Which slab of which colour visits each position, and how often.
    std::vector<std::int32_t> slab_of(static_cast<std::size_t>(c.grid.size()), -1);
    std::vector<std::vector<std::int32_t>> positions;  // x, y, z, t, slab, colour, following
    for (std::int32_t colour = 0; colour < plan.colours; ++colour) {
        for (std::int32_t m = 0; m < plan.slabs(c.grid, colour); ++m) {
            const std::int32_t s = colour + m * plan.colours;
            plan.each_position(c.grid, s, [&](const std::int32_t (&p)[4], std::int32_t following) {
                positions.push_back({p[0], p[1], p[2], p[3], s, colour, following});
            });
        }
    }
    ASSERT_EQ(static_cast<std::int64_t>(positions.size()), c.grid.size());
    for (const auto& a : positions) {
        // following: the positions of its slab after it in its row along x.
        std::int32_t after = 0;
        for (const auto& b : positions)
            after += b[4] == a[4] && b[1] == a[1] && b[2] == a[2] && b[3] == a[3] && b[0] > a[0];
        ASSERT_EQ(a[6], after) << "at " << a[0] << "," << a[1] << "," << a[2] << "," << a[3];
        for (const auto& b : positions) {
            if (a[5] != b[5] || a[4] == b[4]) continue;
            bool overlap = true;
            for (int axis = 0; axis < 4; ++axis)
                overlap = overlap && std::abs(a[axis] - b[axis]) <= 2 * c.patch_radius[axis];
            ASSERT_FALSE(overlap) << "slabs " << a[4] << " and " << b[4] << " of colour " << a[5];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, Slabs,
    testing::Values(slab_case{"interior_2d", {{3, 3, 0, 0}, {4, 4, 1, 1}, {6, 9, 1, 1}}, {3, 3, 0, 0}},
                    slab_case{"edge_pass_2d", {{16, 3, 0, 0}, {1, 1, 1, 1}, {1, 20, 1, 1}}, {3, 3, 0, 0}},
                    slab_case{"frames_spaced_by_radius", {{2, 2, 0, 1}, {3, 3, 1, 1}, {3, 2, 1, 14}}, {2, 2, 0, 1}},
                    slab_case{"stack", {{2, 2, 1, 0}, {3, 3, 2, 1}, {4, 4, 7, 1}}, {2, 2, 1, 0}},
                    slab_case{"columns_only", {{3, 0, 0, 0}, {4, 1, 1, 1}, {12, 1, 1, 1}}, {3, 0, 0, 0}}),
    engine_test::by_name());

struct threads_case {
    const char* name;
    px::extent dims, patch_radius, search;
    int threads;
};

class PassThreads : public testing::TestWithParam<threads_case> {};

iteration_arrays accumulated(const threads_case& c, int threads) {
    const px::vorel engine = engine_test::engine_with_radius(c.patch_radius);
    const px::array image = engine_test::noisy_image(c.dims, 10.0f);
    iteration_arrays work(image, 25.0f);
    const int before = omp_get_max_threads();
    omp_set_num_threads(threads);
    engine.accumulate(image, 10.0f, c.search, work.estimate, work.variance, work.next_estimate, work.next_variance,
                      work.weights);
    omp_set_num_threads(before);
    return work;
}

TEST_P(PassThreads, SameCountsAsOneThread) {
    const threads_case& c = GetParam();
    const iteration_arrays one = accumulated(c, 1);
    const iteration_arrays many = accumulated(c, c.threads);
    EXPECT_EQ(many.weights.values, one.weights.values);
    for (std::size_t i = 0; i < one.next_estimate.values.size(); ++i) {
        const float e = one.next_estimate.values[i];
        const float v = one.next_variance.values[i];
        ASSERT_NEAR(many.next_estimate.values[i], e, 1e-5f * std::abs(e)) << "sample " << i;
        ASSERT_NEAR(many.next_variance.values[i], v, 1e-5f * std::abs(v)) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, PassThreads,
    testing::Values(threads_case{"plane_2_threads", {131, 97, 1, 1, 1}, {3, 3, 0, 0, 0}, {4, 4, 0, 0, 0}, 2},
                    threads_case{"plane_8_threads", {131, 97, 1, 1, 1}, {3, 3, 0, 0, 0}, {4, 4, 0, 0, 0}, 8},
                    threads_case{"small_plane_8_threads", {23, 17, 1, 1, 1}, {3, 3, 0, 0, 0}, {2, 2, 0, 0, 0}, 8},
                    threads_case{"stack_3_threads", {40, 36, 11, 1, 1}, {2, 2, 1, 0, 0}, {2, 2, 1, 0, 0}, 3},
                    threads_case{"frames_channels_2_threads", {44, 40, 1, 2, 9}, {2, 2, 0, 0, 1}, {2, 2, 0, 0, 1}, 2}),
    engine_test::by_name());

}  // namespace
