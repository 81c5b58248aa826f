// Patch similarity accumulation: the neighbours of a reference position and
// their weights, the reference grid of the interior and edge passes (seen
// through the contribution counts), and a scratch allocation that fails
// inside a pass.

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "denoise/quantile.hpp"
#include "denoise/vorel.hpp"
#include "engine_support.hpp"

// ---------------------------------------------------------------------------
// Global allocation functions of this test program. They behave as the
// standard ones, except that while failing_size is non-zero a request of
// exactly that many bytes throws std::bad_alloc. Every non-aligned form is
// replaced so that allocation and release always pair up.
namespace {
std::atomic<std::size_t> failing_size{0};

void* allocate(std::size_t size) {
    const std::size_t fail = failing_size.load(std::memory_order_relaxed);
    if (fail != 0 && size == fail) throw std::bad_alloc();
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

// Requests of this many bytes fail while the object lives.
class failing_allocation {
public:
    explicit failing_allocation(std::size_t bytes) { failing_size.store(bytes); }
    ~failing_allocation() { failing_size.store(0); }
    failing_allocation(const failing_allocation&) = delete;
    failing_allocation& operator=(const failing_allocation&) = delete;
};
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
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
// ---------------------------------------------------------------------------

namespace {

using engine_test::iteration_arrays;

px::extent patch_size_of(const px::extent& radius, std::int32_t channels) {
    return {2 * radius.x + 1, 2 * radius.y + 1, 2 * radius.z + 1, channels, 2 * radius.t + 1};
}

// On a constant image every patch distance is 0, so every neighbour and the
// reference itself count with weight 1.
struct neighbourhood_case {
    const char* name;
    px::extent dims;
    px::extent patch_radius;
    px::extent search;
    std::array<std::int32_t, 4> position;  // x, y, z, t
    int neighbours;
};

class Neighbourhood : public testing::TestWithParam<neighbourhood_case> {};

TEST_P(Neighbourhood, CountOnConstantImage) {
    const neighbourhood_case& c = GetParam();
    const px::vorel engine = engine_test::engine_with_radius(c.patch_radius);
    const px::array image(c.dims, 2.0f);
    iteration_arrays work(image, 1.0f);
    px::array patch(patch_size_of(c.patch_radius, c.dims.c), 0.0f);
    float weight_sq_sum = 0.0f;
    float weight_sum = 0.0f;
    const float sigma = 0.5f;
    const auto& p = c.position;
    engine.accumulate_neighborhood(image, sigma, c.search, work.estimate, work.variance, patch, weight_sq_sum,
                                   weight_sum, p[0], p[1], p[2], p[3]);

    // The reference joins with the largest neighbour weight, 0 without neighbours.
    const float expected = c.neighbours == 0 ? 0.0f : static_cast<float>(c.neighbours + 1);
    EXPECT_EQ(weight_sum, expected);
    EXPECT_FLOAT_EQ(weight_sq_sum, sigma * sigma * expected);
    for (const float v : patch.values) ASSERT_EQ(v, 2.0f * expected);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, Neighbourhood,
    testing::Values(
        neighbourhood_case{"interior_2d", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {1, 1, 0, 0, 0}, {4, 4, 0, 0}, 8},
        neighbourhood_case{"corner_2d", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {1, 1, 0, 0, 0}, {1, 1, 0, 0}, 3},
        neighbourhood_case{"border_2d", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {1, 1, 0, 0, 0}, {1, 4, 0, 0}, 5},
        neighbourhood_case{"whole_interior_2d", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {16, 16, 0, 0, 0},
                           {4, 4, 0, 0}, 48},
        neighbourhood_case{"interior_3d", {7, 7, 7, 1, 1}, {1, 1, 1, 0, 0}, {1, 1, 1, 0, 0}, {3, 3, 3, 0}, 26},
        neighbourhood_case{"frames_two_channels", {5, 5, 1, 2, 5}, {1, 1, 0, 0, 1}, {1, 1, 0, 0, 1},
                           {2, 2, 0, 2}, 26},
        neighbourhood_case{"no_search", {9, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {0, 0, 0, 0, 0}, {4, 4, 0, 0}, 0}),
    [](const testing::TestParamInfo<neighbourhood_case>& p) { return std::string(p.param.name); });

TEST(Neighbourhood, WeightDecaysWithVarianceNormalisedDistance) {
    // Two samples, patch radius 0: the one neighbour differs by 1 in the
    // estimate, with variances 1 and 3, so its distance is (1 + 3) / 3.
    const px::vorel engine = engine_test::engine_with_radius({0, 0, 0, 0, 0});
    const float noisy_values[2] = {10.0f, 20.0f};
    const px::array image({2, 1, 1, 1, 1}, noisy_values);
    iteration_arrays work(image, 1.0f);
    work.estimate.values = {0.0f, 1.0f};
    work.variance.values = {1.0f, 3.0f};
    px::array patch({1, 1, 1, 1, 1}, 0.0f);
    float weight_sq_sum = 0.0f;
    float weight_sum = 0.0f;
    engine.accumulate_neighborhood(image, 2.0f, {1, 0, 0, 0, 0}, work.estimate, work.variance, patch,
                                   weight_sq_sum, weight_sum, 0, 0, 0, 0);

    const double q = px::chi2_threshold(engine.quantile, 1);
    const double w = std::exp(-0.25 * (4.0 / 3.0) / q);
    EXPECT_NEAR(weight_sum, 2.0 * w, 1e-6);
    EXPECT_NEAR(weight_sq_sum, 2.0 * 4.0 * w * w, 1e-5);
    // The neighbour's noisy sample and the reference's own, both with weight w.
    EXPECT_NEAR(patch.values[0], 20.0 * w + 10.0 * w, 1e-4);
}

// The reference positions of one iteration, observed through the number of
// contributions every sample receives: each reference patch adds 1.
struct grid_case {
    const char* name;
    px::extent dims;
    px::extent patch_radius;
    std::vector<std::array<std::int32_t, 4>> references;  // x, y, z, t
};

std::vector<std::array<std::int32_t, 4>> along(int axis, const std::vector<std::int32_t>& positions) {
    std::vector<std::array<std::int32_t, 4>> references;
    for (const std::int32_t p : positions) {
        std::array<std::int32_t, 4> r{0, 0, 0, 0};
        r[static_cast<std::size_t>(axis)] = p;
        references.push_back(r);
    }
    return references;
}

grid_case single_axis(const char* name, int axis, std::int32_t size, std::int32_t radius,
                      const std::vector<std::int32_t>& positions) {
    return {name, engine_test::axis_vector(axis, size, 1), engine_test::axis_vector(axis, radius, 0),
            along(axis, positions)};
}

// 20 x 7 with radius 3: interior grid x = 3, 7, 11, 15 at y = 3; the x edge
// pass adds (16, 3); the y edge pass sweeps x = 3 .. 16 at y = 3, so the grid
// positions are visited twice.
grid_case wide_2d() {
    std::vector<std::array<std::int32_t, 4>> references;
    for (const std::int32_t x : {3, 7, 11, 15}) references.push_back({x, 3, 0, 0});
    references.push_back({16, 3, 0, 0});
    for (std::int32_t x = 3; x <= 16; ++x) references.push_back({x, 3, 0, 0});
    return {"wide_2d", {20, 7, 1, 1, 1}, {3, 3, 0, 0, 0}, references};
}

// 5 x 5 x 5 with two channels and radius 1: spacing 2 along x and y reaches
// the last interior position 3; along z (5 slices, not above 4 r + 1) the
// spacing is 1. No edge pass runs.
grid_case stack_two_channels() {
    std::vector<std::array<std::int32_t, 4>> references;
    for (const std::int32_t z : {1, 2, 3})
        for (const std::int32_t y : {1, 3})
            for (const std::int32_t x : {1, 3}) references.push_back({x, y, z, 0});
    return {"stack_two_channels", {5, 5, 5, 2, 1}, {1, 1, 1, 0, 0}, references};
}

std::vector<float> expected_counts(const px::extent& dims, const px::extent& r,
                                   const std::vector<std::array<std::int32_t, 4>>& references) {
    px::array counts(dims, 0.0f);
    for (const auto& p : references)
        for (std::int32_t dt = -r.t; dt <= r.t; ++dt)
            for (std::int32_t ch = 0; ch < dims.c; ++ch)
                for (std::int32_t dz = -r.z; dz <= r.z; ++dz)
                    for (std::int32_t dy = -r.y; dy <= r.y; ++dy)
                        for (std::int32_t dx = -r.x; dx <= r.x; ++dx)
                            counts.at(p[0] + dx, p[1] + dy, p[2] + dz, ch, p[3] + dt) += 1.0f;
    return counts.values;
}

class ReferenceGrid : public testing::TestWithParam<grid_case> {};

TEST_P(ReferenceGrid, ContributionCounts) {
    const grid_case& c = GetParam();
    const px::vorel engine = engine_test::engine_with_radius(c.patch_radius);
    const px::array image(c.dims, 2.0f);
    iteration_arrays work(image, 1.0f);
    // A search of one step along every extended axis gives each reference a neighbour.
    const px::extent search{c.dims.x > 1 ? 1 : 0, c.dims.y > 1 ? 1 : 0, c.dims.z > 1 ? 1 : 0, 0,
                            c.dims.t > 1 ? 1 : 0};
    engine.accumulate(image, 1.0f, search, work.estimate, work.variance, work.next_estimate, work.next_variance,
                      work.weights);

    const std::vector<float> counts = expected_counts(c.dims, c.patch_radius, c.references);
    EXPECT_EQ(work.weights.values, counts);
    // Every patch of a constant image is accepted and estimates the constant.
    for (std::size_t i = 0; i < counts.size(); ++i) ASSERT_EQ(work.next_estimate.values[i], 2.0f * counts[i]);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, ReferenceGrid,
    testing::Values(single_axis("x20_radius3", 0, 20, 3, {3, 7, 11, 15, 16}),
                    single_axis("y20_radius3", 1, 20, 3, {3, 7, 11, 15, 16}),
                    single_axis("z20_radius3", 2, 20, 3, {3, 7, 11, 15, 16}),
                    // along t the spacing is the radius itself
                    single_axis("t20_radius3", 3, 20, 3, {3, 6, 9, 12, 15, 16}),
                    single_axis("t5_radius1", 3, 5, 1, {1, 2, 3}),
                    // radius 1: an edge pass runs only where spacing 2 stops short
                    single_axis("x8_radius1", 0, 8, 1, {1, 3, 5, 6}),
                    single_axis("x7_radius1", 0, 7, 1, {1, 3, 5}),
                    single_axis("y10_radius1", 1, 10, 1, {1, 3, 5, 7, 8}),
                    // z spacing r + 1 only for more than 4 r + 1 slices
                    single_axis("z5_radius1", 2, 5, 1, {1, 2, 3}),
                    single_axis("z6_radius1", 2, 6, 1, {1, 3, 4}),
                    single_axis("z9_radius2", 2, 9, 2, {2, 3, 4, 5, 6, 6}),
                    single_axis("z11_radius2", 2, 11, 2, {2, 5, 8, 8}), wide_2d(), stack_two_channels()),
    [](const testing::TestParamInfo<grid_case>& p) { return std::string(p.param.name); });

TEST(ScratchAllocation, FailureInsidePassSurfacesAfterIt) {
    // 9 x 9 image, 7 x 7 patches: only the per-thread scratch takes 49 floats.
    px::vorel engine = engine_test::engine_with_radius({3, 3, 0, 0, 0});
    const px::array image = engine_test::noisy_image({9, 9, 1, 1, 1}, 1.0f);
    iteration_arrays work(image, 0.25f);
    const std::size_t scratch_bytes = 49 * sizeof(float);
    EXPECT_THROW(
        {
            failing_allocation scope(scratch_bytes);
            engine.accumulate(image, 1.0f, {1, 1, 0, 0, 0}, work.estimate, work.variance, work.next_estimate,
                              work.next_variance, work.weights);
        },
        std::bad_alloc);
    // No thread had scratch, so nothing was added.
    for (const float v : work.weights.values) ASSERT_EQ(v, 0.0f);

    px::array through_run = image;
    EXPECT_THROW(
        {
            failing_allocation scope(scratch_bytes);
            engine.run(through_run, 1.0f);
        },
        std::bad_alloc);
    EXPECT_EQ(through_run.values, image.values);
}

}  // namespace
