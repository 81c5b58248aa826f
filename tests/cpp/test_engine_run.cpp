// The iteration driver: observer notifications, the growing search
// neighbourhood, configurations refused before any work, and whole runs on
// 1-D to 5-D images of many shapes (these are what the sanitizer build
// exercises).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "denoise/vorel.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::all_finite;
using engine_test::noisy_image;

class Notifications : public testing::TestWithParam<int> {};

TEST_P(Notifications, OnceBeforeAndOnceAfterEachIteration) {
    const int iterations = GetParam();
    px::vorel engine;
    engine.set_max_iter(iterations);
    std::vector<const px::observable*> seen;
    std::vector<float> min_weights;
    engine.observers.push_back([&](px::observable* o) {
        seen.push_back(o);
        min_weights.push_back(static_cast<px::vorel*>(o)->min_weight);
    });
    px::array image = noisy_image({12, 10, 1, 1, 1}, 2.0f);
    engine.run(image, 2.0f);

    EXPECT_EQ(seen.size(), static_cast<std::size_t>(iterations) + 1);
    for (const px::observable* o : seen) EXPECT_EQ(o, &engine);
    // Already derived from sigma when the first notification comes.
    for (const float w : min_weights) EXPECT_EQ(w, 2e-6f);
    EXPECT_EQ(engine.min_variance, 1e-8f * 4.0f);
    EXPECT_EQ(image.dims.x, 12);
    EXPECT_EQ(image.dims.y, 10);
}

INSTANTIATE_TEST_SUITE_P(Engine, Notifications, testing::Values(1, 2, 5));

TEST(Notifications, EmptySlotThrowsAndLeavesImage) {
    px::vorel engine;
    int calls = 0;
    engine.observers.push_back([&](px::observable*) { ++calls; });
    engine.observers.push_back(nullptr);
    px::array image = noisy_image({9, 9, 1, 1, 1}, 1.0f);
    const px::array noisy = image;
    EXPECT_THROW(engine.run(image, 1.0f), std::bad_function_call);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(image.values, noisy.values);
}

TEST(Refusal, PatchThatDoesNotFitStopsBeforeAnyWork) {
    px::vorel engine;  // radius 3 needs 7 samples along x and y
    int calls = 0;
    engine.observers.push_back([&](px::observable*) { ++calls; });
    px::array image = noisy_image({12, 6, 1, 1, 1}, 1.0f);
    const px::array noisy = image;
    engine_test::expect_invalid_argument([&] { engine.run(image, 1.0f); },
                                         "the patch does not fit along y: radius 3 needs 7 samples, the axis has 6");
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(image.values, noisy.values);
}

TEST(Run, EmptyImageStaysEmpty) {
    px::vorel engine;
    int calls = 0;
    engine.observers.push_back([&](px::observable*) { ++calls; });
    px::array image;
    engine.run(image, 1.0f);
    EXPECT_TRUE(image.values.empty());
    EXPECT_EQ(image.dims.x, 0);
    EXPECT_EQ(calls, 5);
}

// The search schedule, observed on a single spike at index 0 of an image
// that extends along one axis, with patch radius 0 and noise far above the
// spike: a sample's estimate becomes non-zero once some iteration's search
// reaches from it to the spike, so after n iterations the last non-zero
// sample is the largest search radius so far (doubling along x from 1,
// i along z, i - 2 along t; capped at the axis length).
struct schedule_case {
    const char* name;
    int axis;  // 0 x, 2 z, 3 t
    std::int32_t size;
    bool search_enabled;
    int max_iter;
    std::int32_t last_reached;
};

class SearchSchedule : public testing::TestWithParam<schedule_case> {};

TEST_P(SearchSchedule, ReachOfSpike) {
    const schedule_case& c = GetParam();
    px::vorel engine = engine_test::engine_with_radius({0, 0, 0, 0, 0});
    engine.set_max_iter(c.max_iter);
    const std::int32_t switch_value = c.search_enabled ? 1 : 0;
    engine.set_neighborhood_axes({1, 1, switch_value, 0, switch_value});
    px::array image(engine_test::axis_vector(c.axis, c.size, 1), 0.0f);
    image.values[0] = 1.0f;
    engine.run(image, 100.0f);

    std::int32_t last = -1;
    for (std::size_t i = 0; i < image.values.size(); ++i) {
        if (image.values[i] != 0.0f) last = static_cast<std::int32_t>(i);
    }
    EXPECT_EQ(last, c.last_reached);
}

INSTANTIATE_TEST_SUITE_P(Engine, SearchSchedule,
                         testing::Values(schedule_case{"x_1", 0, 64, true, 1, 1},
                                         schedule_case{"x_2", 0, 64, true, 2, 2},
                                         schedule_case{"x_3", 0, 64, true, 3, 4},
                                         schedule_case{"x_4", 0, 64, true, 4, 8},
                                         schedule_case{"x_6", 0, 64, true, 6, 32},
                                         schedule_case{"x_8_capped", 0, 64, true, 8, 63},
                                         schedule_case{"z_1", 2, 16, true, 1, 0},
                                         schedule_case{"z_2", 2, 16, true, 2, 1},
                                         schedule_case{"z_5", 2, 16, true, 5, 4},
                                         schedule_case{"z_off", 2, 16, false, 5, 0},
                                         schedule_case{"t_3", 3, 16, true, 3, 0},
                                         schedule_case{"t_4", 3, 16, true, 4, 1},
                                         schedule_case{"t_6", 3, 16, true, 6, 3},
                                         schedule_case{"t_off", 3, 16, false, 6, 0}),
                         [](const testing::TestParamInfo<schedule_case>& p) {
                             return std::string(p.param.name);
                         });

// Whole runs on small images of many shapes. Every estimate is a convex
// combination of noisy samples, so the result stays finite and inside the
// range of the input.
struct run_case {
    const char* name;
    px::extent dims;
    px::extent radius;
    px::extent axes;
    int max_iter;
    float renoise;
};

class WholeRun : public testing::TestWithParam<run_case> {};

TEST_P(WholeRun, StaysInsideInputRange) {
    const run_case& c = GetParam();
    px::vorel engine = engine_test::engine_with_radius(c.radius);
    engine.set_neighborhood_axes(c.axes);
    engine.set_max_iter(c.max_iter);
    engine.set_renoise(c.renoise);
    const float sigma = 3.0f;
    px::array image = noisy_image(c.dims, sigma, 7);
    const auto [low, high] = std::minmax_element(image.values.begin(), image.values.end());
    const float slack = 1e-4f * (*high - *low) + 1e-5f;
    const float lowest = *low - slack;
    const float highest = *high + slack;
    engine.run(image, sigma);

    EXPECT_EQ(image.dims.x, c.dims.x);
    EXPECT_EQ(image.dims.t, c.dims.t);
    ASSERT_EQ(image.values.size(), static_cast<std::size_t>(c.dims.size()));
    EXPECT_TRUE(all_finite(image));
    for (const float v : image.values) {
        ASSERT_GE(v, lowest);
        ASSERT_LE(v, highest);
    }
}

const px::extent all_axes{1, 1, 1, 0, 1};
const px::extent no_z{1, 1, 0, 0, 1};
const px::extent no_t{1, 1, 1, 0, 0};

INSTANTIATE_TEST_SUITE_P(
    Engine, WholeRun,
    testing::Values(
        run_case{"single_sample", {1, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, all_axes, 3, 0},
        run_case{"pair_1d", {2, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, all_axes, 3, 0},
        run_case{"exact_1d_r1", {3, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, all_axes, 4, 0},
        run_case{"exact_1d_r2", {5, 1, 1, 1, 1}, {2, 0, 0, 0, 0}, all_axes, 4, 0},
        run_case{"exact_1d_r3", {7, 1, 1, 1, 1}, {3, 0, 0, 0, 0}, all_axes, 4, 0},
        run_case{"even_1d_r3", {8, 1, 1, 1, 1}, {3, 0, 0, 0, 0}, all_axes, 4, 0},
        run_case{"odd_1d_r1", {9, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, all_axes, 4, 0},
        run_case{"even_1d_r1_renoise", {10, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, all_axes, 4, 0.5f},
        run_case{"column_2d", {1, 9, 1, 1, 1}, {0, 3, 0, 0, 0}, all_axes, 4, 0},
        run_case{"exact_2d_r1", {3, 3, 1, 1, 1}, {1, 1, 0, 0, 0}, all_axes, 4, 0},
        run_case{"even_2d_r1", {4, 4, 1, 1, 1}, {1, 1, 0, 0, 0}, all_axes, 5, 0},
        run_case{"odd_2d_r0", {5, 7, 1, 1, 1}, {0, 0, 0, 0, 0}, all_axes, 4, 0},
        run_case{"mixed_2d_r1_r2", {6, 5, 1, 1, 1}, {1, 2, 0, 0, 0}, all_axes, 4, 0},
        run_case{"exact_2d_r3", {7, 7, 1, 1, 1}, {3, 3, 0, 0, 0}, all_axes, 4, 0},
        run_case{"odd_even_2d_r3_renoise", {9, 8, 1, 1, 1}, {3, 3, 0, 0, 0}, all_axes, 4, 1.0f},
        run_case{"stack_exact_z_r1", {7, 6, 3, 1, 1}, {1, 1, 1, 0, 0}, all_axes, 4, 0},
        run_case{"stack_five_slices", {9, 8, 5, 1, 1}, {2, 2, 1, 0, 0}, all_axes, 4, 0},
        run_case{"stack_even_slices", {8, 8, 6, 1, 1}, {1, 1, 1, 0, 0}, all_axes, 4, 0.5f},
        run_case{"stack_cube_r3", {7, 7, 7, 1, 1}, {3, 3, 3, 0, 0}, all_axes, 4, 0},
        run_case{"stack_r2_edges", {5, 5, 9, 1, 1}, {2, 2, 2, 0, 0}, all_axes, 4, 0},
        run_case{"stack_flat_patch", {6, 6, 4, 1, 1}, {1, 1, 0, 0, 0}, all_axes, 4, 0},
        run_case{"stack_no_z_search", {8, 7, 5, 1, 1}, {2, 2, 1, 0, 0}, no_z, 4, 0},
        run_case{"channels_4d", {7, 6, 3, 2, 1}, {1, 1, 1, 0, 0}, all_axes, 4, 0},
        run_case{"channels_flat_4d", {5, 5, 1, 3, 1}, {2, 2, 0, 0, 0}, all_axes, 4, 0.5f},
        run_case{"series_t_search", {6, 5, 3, 2, 4}, {1, 1, 1, 0, 1}, all_axes, 5, 0},
        run_case{"series_exact_t_r3", {5, 5, 1, 1, 7}, {2, 2, 0, 0, 3}, all_axes, 5, 0},
        run_case{"series_r3", {7, 7, 1, 1, 5}, {3, 3, 0, 0, 2}, all_axes, 5, 0.5f},
        run_case{"series_even", {4, 4, 3, 2, 6}, {1, 1, 1, 0, 1}, all_axes, 5, 0},
        run_case{"series_no_t_search", {5, 6, 1, 1, 5}, {1, 1, 0, 0, 1}, no_t, 5, 0},
        run_case{"series_flat_frames", {6, 6, 1, 1, 4}, {1, 1, 0, 0, 0}, all_axes, 5, 0},
        // far more iterations than the axes are long: the search is capped
        run_case{"long_run_2d", {12, 10, 1, 1, 1}, {3, 3, 0, 0, 0}, all_axes, 33, 0},
        run_case{"long_run_1d", {16, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, all_axes, 40, 0.5f}),
    [](const testing::TestParamInfo<run_case>& p) { return std::string(p.param.name); });

}  // namespace
