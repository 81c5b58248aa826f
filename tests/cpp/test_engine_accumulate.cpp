// Patch similarity accumulation: the neighbors of a reference position, the
// reference grid of the interior and edge passes (seen through contribution
// counts), and a scratch allocation that fails inside a pass.

#include <gtest/gtest.h>

#include <array>
#include <new>
#include <vector>

#include "denoise/engine/vorel.hpp"
#include "engine_support.hpp"
#include "failing_allocator.hpp"

namespace {

using engine_test::iteration_arrays;
using position = std::array<std::int32_t, 4>;  // x, y, z, t

// On a constant image every patch distance is 0: each neighbor weighs 1,
// and the reference joins with the largest neighbor weight.
struct neighborhood_case {
    const char* name;
    px::extent dims, patch_radius, search;
    position p;
    int neighbors;
};

class Neighborhood : public testing::TestWithParam<neighborhood_case> {};

TEST_P(Neighborhood, CountOnConstantImage) {
    const neighborhood_case& c = GetParam();
    const px::vorel engine = engine_test::engine_with_radius(c.patch_radius);
    const px::array image(c.dims, 2.0f);
    iteration_arrays work(image, 1.0f);
    const px::extent& r = c.patch_radius;
    px::array patch({2 * r.x + 1, 2 * r.y + 1, 2 * r.z + 1, c.dims.c, 2 * r.t + 1}, 0.0f);
    float weight_sq_sum = 0.0f, weight_sum = 0.0f;
    engine.accumulate_neighborhood(image, 0.5f, c.search, work.estimate, work.variance, patch, weight_sq_sum,
                                   weight_sum, c.p[0], c.p[1], c.p[2], c.p[3]);

    const float expected = c.neighbors == 0 ? 0.0f : static_cast<float>(c.neighbors + 1);
    EXPECT_EQ(weight_sum, expected);
    EXPECT_FLOAT_EQ(weight_sq_sum, 0.25f * expected);
    for (const float v : patch.values) ASSERT_EQ(v, 2.0f * expected);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, Neighborhood,
    testing::Values(
        // first iteration, 2-D: the 3 x 3 block of interior positions minus the reference
        neighborhood_case{"interior_2d", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {1, 1, 0, 0, 0}, {4, 4, 0, 0}, 8},
        neighborhood_case{"corner_2d", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {1, 1, 0, 0, 0}, {1, 1, 0, 0}, 3},
        neighborhood_case{
            "search_wider_than_image", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {16, 16, 0, 0, 0}, {4, 4, 0, 0}, 48},
        neighborhood_case{"frames_two_channels", {5, 5, 1, 2, 5}, {1, 1, 0, 0, 1}, {1, 1, 0, 0, 1}, {2, 2, 0, 2}, 26},
        neighborhood_case{"no_search", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {0, 0, 0, 0, 0}, {4, 4, 0, 0}, 0}),
    engine_test::by_name());

// Every reference patch adds 1 to the count of each sample it covers, so the
// counts after accumulate show which reference positions the passes used.
struct grid_case {
    const char* name;
    px::extent dims, patch_radius;
    std::vector<position> references;
};

grid_case along(const char* name, int axis, std::int32_t size, std::int32_t radius,
                const std::vector<std::int32_t>& coordinates) {
    grid_case c{name, engine_test::axis_vector(axis, size, 1), engine_test::axis_vector(axis, radius, 0), {}};
    for (const std::int32_t v : coordinates) {
        position p{0, 0, 0, 0};
        p[static_cast<std::size_t>(axis)] = v;
        c.references.push_back(p);
    }
    return c;
}

// 20 x 7, radius 3: interior grid x = 3, 7, 11, 15 at y = 3; the x edge pass
// adds (16, 3); the y edge pass sweeps x = 3 .. 16 at y = 3, visiting the
// grid positions a second time.
grid_case wide_2d() {
    grid_case c{"wide_2d",
                {20, 7, 1, 1, 1},
                {3, 3, 0, 0, 0},
                {{3, 3, 0, 0}, {7, 3, 0, 0}, {11, 3, 0, 0}, {15, 3, 0, 0}, {16, 3, 0, 0}}};
    for (std::int32_t x = 3; x <= 16; ++x) c.references.push_back({x, 3, 0, 0});
    return c;
}

class ReferenceGrid : public testing::TestWithParam<grid_case> {};

TEST_P(ReferenceGrid, ContributionCounts) {
    const grid_case& c = GetParam();
    const px::extent& d = c.dims;
    const px::extent& r = c.patch_radius;
    const px::vorel engine = engine_test::engine_with_radius(r);
    const px::array image(d, 2.0f);
    iteration_arrays work(image, 1.0f);
    // One step of search along every extended axis gives each reference a neighbor.
    engine.accumulate(image, 1.0f, {d.x > 1, d.y > 1, d.z > 1, 0, d.t > 1}, work.estimate, work.variance,
                      work.next_estimate, work.next_variance, work.weights);

    px::array counts(d, 0.0f);
    for (const position& p : c.references)
        for (std::int32_t dt = -r.t; dt <= r.t; ++dt)
            for (std::int32_t dz = -r.z; dz <= r.z; ++dz)
                for (std::int32_t dy = -r.y; dy <= r.y; ++dy)
                    for (std::int32_t dx = -r.x; dx <= r.x; ++dx)
                        counts.at(p[0] + dx, p[1] + dy, p[2] + dz, 0, p[3] + dt) += 1.0f;
    EXPECT_EQ(work.weights.values, counts.values);
    // Every patch of a constant image is accepted and estimates the constant.
    for (float& v : counts.values) v *= 2.0f;
    EXPECT_EQ(work.next_estimate.values, counts.values);
}

INSTANTIATE_TEST_SUITE_P(Engine, ReferenceGrid,
                         testing::Values(along("x20_radius3", 0, 20, 3, {3, 7, 11, 15, 16}),
                                         along("z20_radius3", 2, 20, 3, {3, 7, 11, 15, 16}),
                                         along("t20_radius3", 3, 20, 3, {3, 6, 9, 12, 15, 16}),  // spacing rt along t
                                         // radius 1: an edge pass only where spacing 2 stops short of the last position
                                         along("x8_radius1", 0, 8, 1, {1, 3, 5, 6}),
                                         along("x7_radius1", 0, 7, 1, {1, 3, 5}),
                                         along("y10_radius1", 1, 10, 1, {1, 3, 5, 7, 8}),
                                         // z spacing rz + 1 only for more than 4 rz + 1 slices
                                         along("z5_radius1", 2, 5, 1, {1, 2, 3}),
                                         along("z6_radius1", 2, 6, 1, {1, 3, 4}),
                                         along("z9_radius2", 2, 9, 2, {2, 3, 4, 5, 6, 6}), wide_2d()),
                         engine_test::by_name());

TEST(ScratchAllocation, FailureInsidePassSurfacesAfterIt) {
    // 9 x 9 image and 7 x 7 patches: only the per-thread scratch holds 49 floats.
    px::vorel engine;
    const px::array image = engine_test::noisy_image({9, 9, 1, 1, 1}, 1.0f);
    iteration_arrays work(image, 0.25f);
    px::array result = image;
    const std::size_t scratch_bytes = 49 * sizeof(float);
    EXPECT_THROW(
        {
            failing_allocator::fail_size scope(scratch_bytes);
            engine.accumulate(image, 1.0f, {1, 1, 0, 0, 0}, work.estimate, work.variance, work.next_estimate,
                              work.next_variance, work.weights);
        },
        std::bad_alloc);
    for (const float v : work.weights.values) ASSERT_EQ(v, 0.0f);  // no thread had scratch
    EXPECT_THROW(
        {
            failing_allocator::fail_size scope(scratch_bytes);
            engine.run(result, 1.0f);
        },
        std::bad_alloc);
    EXPECT_EQ(result.values, image.values);
}

}  // namespace
