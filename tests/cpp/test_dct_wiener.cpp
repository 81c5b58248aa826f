// The DCT Wiener stage against a direct evaluation of its definition (DCT by
// explicit cosine sums, one mirrored block at a time), and its promises: the
// same bits on any thread count, a part equal to the whole away from its cut
// faces, counted work, and a stop that unwinds.

#include <gtest/gtest.h>
#include <omp.h>

#include <algorithm>
#include <cmath>
#include <thread>
#include <vector>

#include "denoise/wiener/dct_wiener.hpp"
#include "engine_support.hpp"

namespace {

using engine_test::noisy_image;

// Separable orthonormal DCT-II of a block of shape b (x fastest), in double.
std::vector<double> dct(const std::vector<double>& block, const std::array<int, 4>& b, bool inverse) {
    const double pi = std::acos(-1.0);
    const auto basis = [pi](int n, int k, int j) {
        return std::sqrt((k == 0 ? 1.0 : 2.0) / n) * std::cos(pi * (2 * j + 1) * k / (2.0 * n));
    };
    std::vector<double> out(block.size(), 0.0);
    std::size_t o = 0;
    for (int kt = 0; kt < b[3]; ++kt)
        for (int kz = 0; kz < b[2]; ++kz)
            for (int ky = 0; ky < b[1]; ++ky)
                for (int kx = 0; kx < b[0]; ++kx, ++o) {
                    std::size_t i = 0;
                    for (int t = 0; t < b[3]; ++t)
                        for (int z = 0; z < b[2]; ++z)
                            for (int y = 0; y < b[1]; ++y)
                                for (int x = 0; x < b[0]; ++x, ++i) {
                                    const double f = inverse ? basis(b[3], t, kt) * basis(b[2], z, kz) *
                                                                   basis(b[1], y, ky) * basis(b[0], x, kx)
                                                             : basis(b[3], kt, t) * basis(b[2], kz, z) *
                                                                   basis(b[1], ky, y) * basis(b[0], kx, x);
                                    out[o] += f * block[i];
                                }
                }
    return out;
}

double kaiser(int n, int i) {
    if (n == 1) return 1.0;
    const double r = 2.0 * i / (n - 1) - 1.0;
    return std::cyl_bessel_i(0.0, px::wiener_kaiser_beta * std::sqrt(1.0 - r * r)) /
           std::cyl_bessel_i(0.0, px::wiener_kaiser_beta);
}

// The stage by its definition: every block position that is a multiple of the step in
// whole-image coordinates and overlaps the image, mirrored samples outside.
std::vector<double> reference(const px::array& noisy, const px::array& pilot, const px::wiener_blocks& g) {
    const px::extent d = noisy.dims;
    const std::array<int, 4> n{d.x, d.y, d.z, d.t};
    const std::array<int, 4>& b = g.size;
    std::vector<double> num(noisy.values.size(), 0.0), den(noisy.values.size(), 0.0);
    const auto mirror = [](int p, int len) { return p < 0 ? -p - 1 : p >= len ? 2 * len - 1 - p : p; };
    std::array<std::vector<int>, 4> starts;
    for (int a = 0; a < 4; ++a) {
        for (int p = -b[a] + 1; p < n[a]; ++p) {
            if ((p + g.origin[a]) % g.step[a] == 0) starts[a].push_back(p);
        }
    }
    const std::size_t volume = static_cast<std::size_t>(b[0] * b[1] * b[2] * b[3]);
    for (int c = 0; c < d.c; ++c)
        for (int pt : starts[3])
            for (int pz : starts[2])
                for (int py : starts[1])
                    for (int px_ : starts[0]) {
                        std::vector<double> nb(volume), pb(volume);
                        std::size_t i = 0;
                        for (int t = 0; t < b[3]; ++t)
                            for (int z = 0; z < b[2]; ++z)
                                for (int y = 0; y < b[1]; ++y)
                                    for (int x = 0; x < b[0]; ++x, ++i) {
                                        const auto at = [&](const px::array& a) {
                                            return a.at(mirror(px_ + x, n[0]), mirror(py + y, n[1]),
                                                        mirror(pz + z, n[2]), c, mirror(pt + t, n[3]));
                                        };
                                        nb[i] = at(noisy);
                                        pb[i] = at(pilot);
                                    }
                        std::vector<double> nc = dct(nb, b, false), pc = dct(pb, b, false);
                        double sum = 0.0;
                        for (i = 0; i < volume; ++i) {
                            const double p2 = std::max(pc[i] * pc[i] - double{g.floor}, 0.0);
                            const double w = p2 / (p2 + 1.0);
                            nc[i] *= w;
                            sum += w * w;
                        }
                        const std::vector<double> back = dct(nc, b, true);
                        i = 0;
                        for (int t = 0; t < b[3]; ++t)
                            for (int z = 0; z < b[2]; ++z)
                                for (int y = 0; y < b[1]; ++y)
                                    for (int x = 0; x < b[0]; ++x, ++i) {
                                        const int X = px_ + x, Y = py + y, Z = pz + z, T = pt + t;
                                        if (X < 0 || X >= n[0] || Y < 0 || Y >= n[1] || Z < 0 || Z >= n[2] || T < 0 ||
                                            T >= n[3]) {
                                            continue;
                                        }
                                        const double w =
                                            kaiser(b[0], x) * kaiser(b[1], y) * kaiser(b[2], z) * kaiser(b[3], t) / sum;
                                        const auto k = static_cast<std::size_t>(noisy.index(X, Y, Z, c, T));
                                        num[k] += w * back[i];
                                        den[k] += w;
                                    }
                    }
    for (std::size_t k = 0; k < num.size(); ++k) num[k] /= den[k];
    return num;
}

struct stage_case {
    const char* name;
    px::extent dims;
    px::wiener_blocks blocks;
};

class WienerStage : public testing::TestWithParam<stage_case> {};

TEST_P(WienerStage, FollowsTheDefinitionOnAnyThreadCount) {
    const stage_case& c = GetParam();
    const px::array noisy = noisy_image(c.dims, 1.0f, 3);
    px::array pilot = noisy_image(c.dims, 0.4f, 7);
    const std::vector<double> expected = reference(noisy, pilot, c.blocks);
    omp_set_num_threads(1);
    const px::array one = px::dct_wiener(noisy, pilot, c.blocks);
    for (std::size_t k = 0; k < expected.size(); ++k) {
        ASSERT_NEAR(one.values[k], expected[k], 2e-4 * (1.0 + std::abs(expected[k]))) << "sample " << k;
    }
    omp_set_num_threads(2);
    px::run_control control;
    const px::array two = px::dct_wiener(noisy, pilot, c.blocks, &control);
    EXPECT_EQ(two.values, one.values);
    EXPECT_GT(control.total, 0);
    EXPECT_EQ(control.done.load(), control.total);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, WienerStage,
    testing::Values(stage_case{"line", {17, 1, 1, 1, 1}, {{5, 1, 1, 1}, {2, 1, 1, 1}, {0, 0, 0, 0}}},
                    stage_case{
                        "plane_step_not_dividing", {13, 11, 1, 1, 1}, {{6, 4, 1, 1}, {4, 3, 1, 1}, {0, 0, 0, 0}}},
                    stage_case{"plane_block_is_axis", {7, 9, 1, 1, 1}, {{7, 4, 1, 1}, {3, 2, 1, 1}, {0, 0, 0, 0}}},
                    stage_case{"shifted_origin", {10, 9, 1, 1, 1}, {{4, 4, 1, 1}, {2, 3, 1, 1}, {5, 7, 0, 0}}},
                    stage_case{"stack", {9, 8, 5, 1, 1}, {{4, 4, 3, 1}, {2, 2, 2, 1}, {0, 0, 0, 0}}},
                    stage_case{"channels_and_frames", {8, 6, 1, 3, 5}, {{4, 3, 1, 2}, {2, 3, 1, 1}, {0, 0, 0, 0}}},
                    stage_case{"five_axes", {6, 5, 3, 2, 4}, {{3, 2, 2, 2}, {2, 1, 1, 2}, {0, 0, 0, 0}}},
                    stage_case{"stack_along_t_only", {1, 1, 1, 2, 19}, {{1, 1, 1, 6}, {1, 1, 1, 2}, {0, 0, 0, 0}}},
                    stage_case{"pilot_floor", {13, 11, 1, 1, 1}, {{6, 4, 1, 1}, {2, 2, 1, 1}, {0, 0, 0, 0}, 0.1f}},
                    stage_case{"stack_pilot_floor", {9, 8, 5, 1, 1}, {{4, 4, 3, 1}, {2, 2, 2, 1}, {0, 0, 0, 0}, 0.2f}}),
    engine_test::by_name{});

// A part cut from a plane, its origin given, equals the whole plane at every sample at least
// block - 1 from a cut face (or on the plane's own border).
TEST(WienerStage, PartEqualsWholeAwayFromItsCuts) {
    const px::extent dims{40, 30, 1, 1, 1};
    const px::array noisy = noisy_image(dims, 1.0f, 5);
    const px::array pilot = noisy_image(dims, 0.3f, 9);
    const px::wiener_blocks whole_blocks{{8, 6, 1, 1}, {2, 3, 1, 1}, {0, 0, 0, 0}};
    omp_set_num_threads(2);
    const px::array whole = px::dct_wiener(noisy, pilot, whole_blocks);
    const int x0 = 11, x1 = 33, y0 = 0, y1 = 17;  // a part with cut faces at x 11, 33 and y 17
    const px::extent part_dims{x1 - x0, y1 - y0, 1, 1, 1};
    px::array part_noisy(part_dims, 0.0f), part_pilot(part_dims, 0.0f);
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x) {
            part_noisy.at(x - x0, y - y0, 0, 0, 0) = noisy.at(x, y, 0, 0, 0);
            part_pilot.at(x - x0, y - y0, 0, 0, 0) = pilot.at(x, y, 0, 0, 0);
        }
    px::wiener_blocks part_blocks = whole_blocks;
    part_blocks.origin = {x0, y0, 0, 0};
    const px::array part = px::dct_wiener(part_noisy, part_pilot, part_blocks);
    int compared = 0;
    for (int y = y0; y < y1 - 5; ++y)
        for (int x = x0 + 7; x < x1 - 7; ++x, ++compared) {
            ASSERT_EQ(part.at(x - x0, y - y0, 0, 0, 0), whole.at(x, y, 0, 0, 0)) << x << ", " << y;
        }
    EXPECT_GT(compared, 50);
}

TEST(WienerStage, RefusesBlocksThatDoNotFitAndStopsWhenAsked) {
    const px::array noisy = noisy_image({64, 64, 1, 1, 1}, 1.0f);
    const px::array pilot = noisy;
    EXPECT_THROW(px::dct_wiener(noisy, pilot, {{65, 4, 1, 1}, {2, 2, 1, 1}, {0, 0, 0, 0}}), std::invalid_argument);
    EXPECT_THROW(px::dct_wiener(noisy, pilot, {{4, 4, 1, 1}, {5, 2, 1, 1}, {0, 0, 0, 0}}), std::invalid_argument);
    EXPECT_THROW(px::dct_wiener(noisy, pilot, {{4, 4, 2, 1}, {2, 2, 1, 1}, {0, 0, 0, 0}}), std::invalid_argument);
    EXPECT_THROW(px::dct_wiener(noisy, noisy_image({64, 63, 1, 1, 1}, 1.0f), {}), std::invalid_argument);
    const px::array line = noisy_image({300, 1, 1, 1, 1}, 1.0f);
    EXPECT_THROW(px::dct_wiener(line, line, {{257, 1, 1, 1}, {2, 1, 1, 1}, {0, 0, 0, 0}}), std::invalid_argument);
    for (const float floor : {-0.5f, std::nanf(""), INFINITY}) {
        EXPECT_THROW(px::dct_wiener(noisy, pilot, {{4, 4, 1, 1}, {2, 2, 1, 1}, {0, 0, 0, 0}, floor}),
                     std::invalid_argument);
    }

    omp_set_num_threads(2);
    const px::wiener_blocks blocks{{12, 12, 1, 1}, {1, 1, 1, 1}, {0, 0, 0, 0}};
    px::run_control before;
    before.stop = true;
    EXPECT_THROW(px::dct_wiener(noisy, pilot, blocks, &before), px::run_stopped);
    EXPECT_EQ(before.done.load(), 0);

    // Large enough (about a second of work) that the stopper is sure to be scheduled
    // before the run ends, even on a loaded machine; the stop comes after 5 % of it.
    const px::array large = noisy_image({512, 512, 1, 1, 1}, 1.0f);
    px::run_control midway;
    std::thread stopper([&midway] {
        while (midway.fraction() < 0.05) std::this_thread::yield();
        midway.stop = true;
    });
    EXPECT_THROW(px::dct_wiener(large, large, blocks, &midway), px::run_stopped);
    stopper.join();
    EXPECT_LT(midway.fraction(), 1.0);
}

}  // namespace
