// The vectorised neighborhood kernels against the straight loop, bit for
// bit, on every instruction set the kernel is built for (a test of one this
// processor cannot run is skipped, naming it): random data, x radii 0 to 4
// (the compile-time widths and the generic path), odd sizes, axes of a
// single sample, several channels and frames, and search rows from a few
// neighbors to more than 16 (full, partial and single-lane batches).

#include <gtest/gtest.h>
#include <omp.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "denoise/engine/vorel.hpp"
#include "denoise/kernel/kernel_path.hpp"
#include "engine_support.hpp"
#include "straight_neighborhood.hpp"

namespace {

const px::kernel_path every_path[] = {px::kernel_path::portable, px::kernel_path::avx2, px::kernel_path::avx512};

// Why a test of a path this processor cannot run is skipped.
std::string not_available(px::kernel_path path) {
    return std::string("this processor cannot run the ") + px::kernel_path_name(path) + " instruction set";
}

// Uses one kernel path while alive.
class path_scope {
public:
    explicit path_scope(px::kernel_path path) : previous_(px::select_kernel_path(path)) {}
    ~path_scope() { px::select_kernel_path(previous_); }
    path_scope(const path_scope&) = delete;
    path_scope& operator=(const path_scope&) = delete;

private:
    px::kernel_path previous_;
};

px::array random_array(const px::extent& dims, float low, float high, std::mt19937& random) {
    std::uniform_real_distribution<float> uniform(low, high);
    px::array a(dims, 0.0f);
    for (float& v : a.values) v = uniform(random);
    return a;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct kernel_case {
    const char* name;
    px::extent dims, patch_radius, search;
};

class KernelPaths : public testing::TestWithParam<std::tuple<kernel_case, px::kernel_path>> {};

TEST_P(KernelPaths, EveryPositionMatchesStraightLoop) {
    const kernel_case& c = std::get<0>(GetParam());
    const px::kernel_path path = std::get<1>(GetParam());
    if (!px::kernel_path_available(path)) GTEST_SKIP() << not_available(path);
    const px::extent& r = c.patch_radius;
    const px::extent patch_size{2 * r.x + 1, 2 * r.y + 1, 2 * r.z + 1, c.dims.c, 2 * r.t + 1};
    px::vorel engine = engine_test::engine_with_radius(r);
    engine.set_pvalue(0.2f);
    std::mt19937 random(11);
    const px::array image = random_array(c.dims, -5.0f, 120.0f, random);
    px::array estimate = random_array(c.dims, 40.0f, 60.0f, random);
    px::array variance = random_array(c.dims, 0.5f, 30.0f, random);
    // Some equal estimates, so that some distances are exactly 0.
    for (std::size_t i = 0; i < estimate.values.size(); i += 3) estimate.values[i] = 50.0f;
    // Sums that already hold something, other for the position taken alongside:
    // the kernel adds to them.
    const px::array start = random_array(patch_size, 0.0f, 2.0f, random);
    const px::array next_start = random_array(patch_size, 0.0f, 2.0f, random);
    const float sigma = 3.5f;

    // Positions one at a time, then with scratch: rows of positions 1 and
    // radius + 1 apart whose distances are computed together (in groups of up
    // to 8), their weights computed all at once or batch by batch, the patch
    // update reading widened samples, two positions at a time where the kernel
    // takes the next one alongside.
    const path_scope scope(path);
    for (const std::int32_t step : {0, 1, r.x + 1}) {
        std::vector<double> room(1 << 15), widened(1 << 16), weights(1 << 15);
        px::kernel_scratch cache;
        cache.values = room.data();
        cache.capacity = static_cast<std::int64_t>(room.size());
        cache.widened = widened.data();
        cache.widened_capacity = static_cast<std::int64_t>(widened.size());
        // Weights of held positions all at once with step 1, batch by batch with the wider step.
        if (step == 1) {
            cache.weights = weights.data();
            cache.weights_capacity = static_cast<std::int64_t>(weights.size());
        }
        const std::int32_t x_step = step > 0 ? step : 1;
        int alongside = 0;
        std::int32_t p[4];
        for (p[3] = r.t; p[3] < c.dims.t - r.t; ++p[3])
            for (p[2] = r.z; p[2] < c.dims.z - r.z; ++p[2])
                for (p[1] = r.y; p[1] < c.dims.y - r.y; ++p[1])
                    for (p[0] = r.x; p[0] < c.dims.x - r.x; p[0] += x_step) {
                        px::array patch = start, next_patch = next_start;
                        float sq = 0.75f, sum = 1.25f, next_sq = 0.5f, next_sum = 2.5f;
                        const std::int32_t following = (c.dims.x - r.x - 1 - p[0]) / x_step;
                        // With scratch, the next position's sums may come alongside.
                        px::vorel::following_sums next{next_patch, next_sq, next_sum};
                        engine.accumulate_neighborhood(image, sigma, c.search, estimate, variance, patch, sq, sum, p[0],
                                                       p[1], p[2], p[3], step > 0 ? &cache : nullptr, following, step,
                                                       step > 0 ? &next : nullptr);
                        alongside += next.done ? 1 : 0;
                        for (const bool of_next : {false, true}) {
                            if (of_next && !next.done) break;
                            std::int32_t q[4] = {p[0] + (of_next ? step : 0), p[1], p[2], p[3]};
                            px::array expected = of_next ? next_start : start;
                            float expected_sq = of_next ? 0.5f : 0.75f, expected_sum = of_next ? 2.5f : 1.25f;
                            engine_test::straight_neighborhood_sum(r, engine.quantile, image, sigma, c.search, estimate,
                                                                   variance, expected, expected_sq, expected_sum, q);
                            const px::array& got = of_next ? next_patch : patch;
                            const std::string where = "step " + std::to_string(step) + " at " + std::to_string(q[0]) +
                                                      "," + std::to_string(q[1]) + "," + std::to_string(q[2]) + "," +
                                                      std::to_string(q[3]) + (of_next ? " (alongside)" : "");
                            ASSERT_TRUE(same_bits(of_next ? next_sum : sum, expected_sum)) << where;
                            ASSERT_TRUE(same_bits(of_next ? next_sq : sq, expected_sq)) << where;
                            for (std::size_t k = 0; k < got.values.size(); ++k)
                                ASSERT_TRUE(same_bits(got.values[k], expected.values[k]))
                                    << where << " sample " << k << ": " << got.values[k] << " " << expected.values[k];
                        }
                    }
        // The cases made for shared windows must exercise positions taken alongside.
        if (step > 0 && std::string(c.name).rfind("rows_", 0) == 0) {
            EXPECT_GT(alongside, 0) << "step " << step;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Engine, KernelPaths,
    testing::Combine(testing::Values(
                         // rows of 1 to 37 neighbors along x: 16-lane, partial and single-lane batches
                         kernel_case{"line_r0_wide_search", {37, 1, 1, 1, 1}, {0, 0, 0, 0, 0}, {20, 0, 0, 0, 0}},
                         kernel_case{"line_r4_generic", {31, 1, 1, 1, 1}, {4, 0, 0, 0, 0}, {18, 0, 0, 0, 0}},
                         kernel_case{"plane_r1", {29, 9, 1, 1, 1}, {1, 1, 0, 0, 0}, {17, 2, 0, 0, 0}},
                         kernel_case{"plane_r2_odd", {27, 11, 1, 1, 1}, {2, 2, 0, 0, 0}, {9, 3, 0, 0, 0}},
                         kernel_case{"plane_r3", {33, 9, 1, 1, 1}, {3, 1, 0, 0, 0}, {16, 1, 0, 0, 0}},
                         kernel_case{"plane_r4_r0", {23, 7, 1, 1, 1}, {4, 0, 0, 0, 0}, {8, 2, 0, 0, 0}},
                         kernel_case{"column_single_x", {1, 15, 1, 1, 1}, {0, 2, 0, 0, 0}, {0, 4, 0, 0, 0}},
                         kernel_case{"stack_channels", {13, 7, 5, 2, 1}, {2, 1, 1, 0, 0}, {5, 2, 1, 0, 0}},
                         kernel_case{"series_r3_frames", {19, 7, 1, 1, 5}, {3, 2, 0, 0, 1}, {8, 1, 0, 0, 1}},
                         kernel_case{"five_axes_r1", {11, 5, 3, 2, 3}, {1, 1, 1, 0, 1}, {4, 2, 1, 0, 1}},
                         // long rows with a narrow search: positions share their window in groups
                         kernel_case{"rows_r3_search9", {60, 8, 1, 1, 1}, {3, 1, 0, 0, 0}, {9, 1, 0, 0, 0}},
                         kernel_case{"rows_r2_stack", {36, 6, 4, 1, 1}, {2, 1, 1, 0, 0}, {5, 1, 1, 0, 0}},
                         kernel_case{"rows_r1_series", {30, 5, 1, 1, 4}, {1, 1, 0, 0, 1}, {2, 1, 0, 0, 1}}),
                     testing::ValuesIn(every_path)),
    [](const testing::TestParamInfo<KernelPaths::ParamType>& p) {
        return std::string(std::get<0>(p.param).name) + "_" + px::kernel_path_name(std::get<1>(p.param));
    });

class WholeRuns : public testing::TestWithParam<px::kernel_path> {};

// Whole runs, one thread: the path gives the same image as the portable one.
TEST_P(WholeRuns, AgreeWithPortable) {
    const px::kernel_path path = GetParam();
    if (!px::kernel_path_available(path)) GTEST_SKIP() << not_available(path);
    const int threads = omp_get_max_threads();
    omp_set_num_threads(1);
    for (const px::extent radius : {px::extent{2, 2, 1, 0, 1}, px::extent{3, 3, 0, 0, 0}, px::extent{4, 1, 0, 0, 0}}) {
        px::large_vector<float> results[2];
        for (const px::kernel_path run_on : {px::kernel_path::portable, path}) {
            const path_scope scope(run_on);
            px::vorel engine = engine_test::engine_with_radius(radius);
            px::array image = engine_test::noisy_image({21, 12, 3, 2, 3}, 4.0f, 5);
            engine.run(image, 4.0f);
            results[run_on == path ? 1 : 0] = image.values;
        }
        ASSERT_EQ(results[1].size(), results[0].size());
        EXPECT_EQ(std::memcmp(results[1].data(), results[0].data(), results[0].size() * sizeof(float)), 0)
            << "radius " << radius.x << " " << radius.y << " " << radius.z << " " << radius.t;
    }
    omp_set_num_threads(threads);
}

INSTANTIATE_TEST_SUITE_P(Engine, WholeRuns, testing::Values(px::kernel_path::avx2, px::kernel_path::avx512),
                         [](const testing::TestParamInfo<px::kernel_path>& p) {
                             return std::string(px::kernel_path_name(p.param));
                         });

TEST(KernelPaths, PortableAlwaysAvailable) {
    std::string runs, skipped;
    for (const px::kernel_path path : every_path)
        (px::kernel_path_available(path) ? runs : skipped) += std::string(" ") + px::kernel_path_name(path);
    std::cout << "kernel instruction sets tested:" << runs << "; skipped:" << (skipped.empty() ? " none" : skipped)
              << "\n";
    EXPECT_TRUE(px::kernel_path_available(px::kernel_path::portable));
    EXPECT_TRUE(px::kernel_path_available(px::active_kernel_path()));
    const px::kernel_path widest = px::active_kernel_path();
    for (const px::kernel_path path : {px::kernel_path::avx2, px::kernel_path::avx512}) {
        if (!px::kernel_path_available(path)) {
            engine_test::expect_invalid_argument(
                [&] { px::select_kernel_path(path); },
                std::string("this processor cannot run the ") + px::kernel_path_name(path) + " kernel");
            EXPECT_EQ(px::active_kernel_path(), widest);
        }
    }
}

}  // namespace
