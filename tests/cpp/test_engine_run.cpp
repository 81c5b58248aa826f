// The iteration driver: observer notifications, the growing search
// neighborhood, a configuration refused before any work, and whole runs on
// 1-D to 5-D images of many shapes (what the sanitizer build exercises).

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "denoise/engine/vorel.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::noisy_image;

TEST(Run, ObserversSeeEveryIteration) {
    for (const int iterations : {1, 2, 5}) {
        px::vorel engine;
        engine.set_max_iter(iterations);
        std::vector<float> min_weights;  // as the engine holds it at each notification
        engine.observers.push_back([&](px::observable* o) {
            EXPECT_EQ(o, &engine);
            min_weights.push_back(static_cast<px::vorel*>(o)->min_weight);
        });
        px::array image = noisy_image({12, 10, 1, 1, 1}, 2.0f);
        engine.run(image, 2.0f);
        EXPECT_EQ(min_weights, std::vector<float>(static_cast<std::size_t>(iterations) + 1, 2e-6f));
    }
}

TEST(Run, FailuresLeaveImageUnchanged) {
    px::vorel engine;
    int calls = 0;
    engine.observers.push_back([&](px::observable*) { ++calls; });
    // 7 x 7 patches do not fit 6 rows: refused before the first notification.
    px::array image = noisy_image({12, 6, 1, 1, 1}, 1.0f);
    const px::array noisy = image;
    engine_test::expect_invalid_argument([&] { engine.run(image, 1.0f); },
                                         "the patch does not fit along y: radius 3 needs 7 samples, the axis has 6");
    EXPECT_EQ(calls, 0);
    // An empty observer slot throws at the first notification.
    engine.set_patch_radius({1, 1, 0, 0, 0});
    engine.observers.push_back(nullptr);
    EXPECT_THROW(engine.run(image, 1.0f), std::bad_function_call);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(image.values, noisy.values);
}

// The search schedule, seen on a spike at index 0 of an image that extends
// along one axis, with patch radius 0 and noise far above the spike: a
// sample's estimate leaves 0 once a search reaches from it to the spike, so
// after n iterations the last non-zero sample lies at the largest search
// radius so far (2^i along x, i along z, i - 2 along t, capped at the axis).
struct schedule_case {
    const char* name;
    int axis;
    bool search;
    int max_iter;
    std::int32_t reach;
};

class SearchSchedule : public testing::TestWithParam<schedule_case> {};

TEST_P(SearchSchedule, ReachOfSpike) {
    const schedule_case& c = GetParam();
    px::vorel engine = engine_test::engine_with_radius({0, 0, 0, 0, 0});
    engine.set_max_iter(c.max_iter);
    engine.set_neighborhood_axes({1, 1, c.search, 0, c.search});
    px::array image(engine_test::axis_vector(c.axis, 64, 1), 0.0f);
    image.values[0] = 1.0f;
    engine.run(image, 100.0f);
    const auto last = std::find_if(image.values.rbegin(), image.values.rend(), [](float v) { return v != 0.0f; });
    EXPECT_EQ(image.values.rend() - last - 1, c.reach);
}

INSTANTIATE_TEST_SUITE_P(Engine, SearchSchedule,
                         testing::Values(schedule_case{"x_1", 0, true, 1, 1}, schedule_case{"x_3", 0, true, 3, 4},
                                         schedule_case{"x_6", 0, true, 6, 32},
                                         schedule_case{"x_8_capped", 0, true, 8, 63},
                                         schedule_case{"z_1", 2, true, 1, 0}, schedule_case{"z_2", 2, true, 2, 1},
                                         schedule_case{"z_5", 2, true, 5, 4}, schedule_case{"z_off", 2, false, 5, 0},
                                         schedule_case{"t_3", 3, true, 3, 0}, schedule_case{"t_4", 3, true, 4, 1},
                                         schedule_case{"t_6", 3, true, 6, 3}, schedule_case{"t_off", 3, false, 6, 0}),
                         engine_test::by_name());

// Whole runs on small images: odd and even sizes, sizes of exactly 2r + 1,
// r = 0 .. 3, search along z and t, channels, renoise, more iterations than
// the axes are long. Every estimate is a convex combination of noisy
// samples, so the result is finite and inside the input's range.
struct run_case {
    const char* name;
    px::extent dims, radius;
    int max_iter;
    float renoise;
};

class WholeRun : public testing::TestWithParam<run_case> {};

TEST_P(WholeRun, StaysInsideInputRange) {
    const run_case& c = GetParam();
    px::vorel engine = engine_test::engine_with_radius(c.radius);
    engine.set_max_iter(c.max_iter);
    engine.set_renoise(c.renoise);
    px::array image = noisy_image(c.dims, 3.0f, 7);
    const auto [low, high] = std::minmax_element(image.values.begin(), image.values.end());
    const float slack = 1e-4f * (*high - *low) + 1e-5f;
    const float lowest = *low - slack, highest = *high + slack;
    engine.run(image, 3.0f);
    ASSERT_EQ(image.values.size(), static_cast<std::size_t>(c.dims.size()));
    EXPECT_EQ(image.dims.t, c.dims.t);
    for (const float v : image.values) ASSERT_TRUE(std::isfinite(v) && v >= lowest && v <= highest) << v;
}

INSTANTIATE_TEST_SUITE_P(Engine, WholeRun,
                         testing::Values(run_case{"single_sample", {1, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, 3, 0},
                                         run_case{"pair_1d", {2, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, 3, 0},
                                         run_case{"exact_1d_r1", {3, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, 4, 0},
                                         run_case{"exact_1d_r3", {7, 1, 1, 1, 1}, {3, 0, 0, 0, 0}, 4, 0},
                                         run_case{"even_1d_r3", {8, 1, 1, 1, 1}, {3, 0, 0, 0, 0}, 4, 0},
                                         run_case{"even_1d_r1_renoise", {10, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, 4, 0.5f},
                                         run_case{"column_2d", {1, 9, 1, 1, 1}, {0, 3, 0, 0, 0}, 4, 0},
                                         run_case{"even_2d_r1", {4, 4, 1, 1, 1}, {1, 1, 0, 0, 0}, 5, 0},
                                         run_case{"odd_2d_r0", {5, 7, 1, 1, 1}, {0, 0, 0, 0, 0}, 4, 0},
                                         run_case{"mixed_2d_r1_r2", {6, 5, 1, 1, 1}, {1, 2, 0, 0, 0}, 4, 0},
                                         run_case{"exact_2d_r2", {5, 5, 1, 1, 1}, {2, 2, 0, 0, 0}, 4, 0},
                                         run_case{"odd_even_2d_r3_renoise", {9, 8, 1, 1, 1}, {3, 3, 0, 0, 0}, 4, 1.0f},
                                         run_case{"stack_exact_z_r1", {7, 6, 3, 1, 1}, {1, 1, 1, 0, 0}, 4, 0},
                                         run_case{"stack_five_slices", {9, 8, 5, 1, 1}, {2, 2, 1, 0, 0}, 4, 0},
                                         run_case{"stack_even_slices", {8, 8, 6, 1, 1}, {1, 1, 1, 0, 0}, 4, 0.5f},
                                         run_case{"stack_cube_r3", {7, 7, 7, 1, 1}, {3, 3, 3, 0, 0}, 4, 0},
                                         run_case{"stack_r2_edges", {5, 5, 9, 1, 1}, {2, 2, 2, 0, 0}, 4, 0},
                                         run_case{"stack_flat_patch", {6, 6, 4, 1, 1}, {1, 1, 0, 0, 0}, 4, 0},
                                         run_case{"channels_4d", {7, 6, 3, 2, 1}, {1, 1, 1, 0, 0}, 4, 0},
                                         run_case{"channels_flat_4d", {5, 5, 1, 3, 1}, {2, 2, 0, 0, 0}, 4, 0.5f},
                                         run_case{"series_t_search", {6, 5, 3, 2, 4}, {1, 1, 1, 0, 1}, 5, 0},
                                         run_case{"series_exact_t_r3", {5, 5, 1, 1, 7}, {2, 2, 0, 0, 3}, 5, 0},
                                         run_case{"series_r3_renoise", {7, 7, 1, 1, 5}, {3, 3, 0, 0, 2}, 5, 0.5f},
                                         run_case{"series_even", {4, 4, 3, 2, 6}, {1, 1, 1, 0, 1}, 5, 0},
                                         run_case{"series_flat_frames", {6, 6, 1, 1, 4}, {1, 1, 0, 0, 0}, 5, 0},
                                         run_case{"long_run_2d", {12, 10, 1, 1, 1}, {3, 3, 0, 0, 0}, 33, 0},
                                         run_case{"long_run_1d", {16, 1, 1, 1, 1}, {1, 0, 0, 0, 0}, 40, 0.5f}),
                         engine_test::by_name());

}  // namespace
