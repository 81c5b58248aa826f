// A watched run: the work counted up front is the work done, a watched run
// gives the plain result, and a stop request unwinds with the image unchanged.

#include <gtest/gtest.h>
#include <omp.h>

#include <thread>

#include "engine_support.hpp"

namespace {

using engine_test::noisy_image;

struct control_case {
    const char* name;
    px::extent dims;
    px::extent patch_radius;
    int iterations;
};

class WatchedRun : public testing::TestWithParam<control_case> {};

TEST_P(WatchedRun, CountsItsWorkExactlyAndChangesNothing) {
    const control_case& c = GetParam();
    omp_set_num_threads(1);  // one thread: the same order of additions with and without a watcher
    px::vorel plain_engine;
    plain_engine.set_patch_radius(c.patch_radius);
    plain_engine.set_max_iter(c.iterations);
    px::vorel watched_engine = plain_engine;
    px::run_control control;
    watched_engine.control = &control;

    px::array plain = noisy_image(c.dims, 2.0f);
    px::array watched = plain;
    plain_engine.run(plain, 2.0f);
    watched_engine.run(watched, 2.0f);
    EXPECT_GT(control.total, 0);
    EXPECT_EQ(control.done.load(), control.total);
    EXPECT_EQ(control.fraction(), 1.0);
    EXPECT_EQ(watched.values, plain.values);
}

INSTANTIATE_TEST_SUITE_P(Engine, WatchedRun,
                         testing::Values(control_case{"plane_with_edge_passes", {23, 19, 1, 1, 1}, {2, 2, 0, 0, 0}, 4},
                                         control_case{"stack_and_frames", {12, 10, 6, 2, 5}, {1, 1, 1, 0, 1}, 4},
                                         control_case{"line", {40, 1, 1, 1, 1}, {3, 0, 0, 0, 0}, 3}),
                         engine_test::by_name{});

TEST(WatchedRun, StopRequestUnwindsAndLeavesTheImage) {
    omp_set_num_threads(2);
    px::vorel engine;
    engine.set_max_iter(8);
    px::run_control control;
    engine.control = &control;
    const px::array noisy = noisy_image({96, 96, 1, 1, 1}, 2.0f);

    control.stop = true;  // asked before the run starts
    px::array image = noisy;
    EXPECT_THROW(engine.run(image, 2.0f), px::run_stopped);
    EXPECT_EQ(image.values, noisy.values);
    EXPECT_EQ(control.done.load(), 0);

    px::run_control midway;
    engine.control = &midway;
    std::thread stopper([&midway] {
        while (midway.fraction() < 0.05) std::this_thread::yield();
        midway.stop = true;
    });
    EXPECT_THROW(engine.run(image, 2.0f), px::run_stopped);
    stopper.join();
    EXPECT_EQ(image.values, noisy.values);
    EXPECT_LT(midway.fraction(), 1.0);
}

}  // namespace
