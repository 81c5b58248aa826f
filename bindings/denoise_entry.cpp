// The denoising entry points: thread count, conversion, engine
// configuration and validation, the run without the interpreter lock, and
// the write-back into the array the caller handed over.

#include <omp.h>

#include "bindings/engine_setup.hpp"
#include "bindings/entry_points.hpp"
#include "denoise/engine/vorel.hpp"
#include "noise/sensor_noise.hpp"

namespace {

// The count stays in force on the calling thread.
void set_thread_count(int nthreads) { omp_set_num_threads(thread_count(nthreads)); }

void run_unlocked(px::vorel& engine, px::array& working, float sigma) {
    pybind11::gil_scoped_release unlocked;
    engine.run(working, sigma);
}

}  // namespace

ndarray denoise_gaussian(ndarray image, float sigma, const std::vector<int>& patch_radius,
                         const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int nthreads,
                         float renoise) {
    require_axis_lists(patch_radius, neighborhood_axes);
    set_thread_count(nthreads);
    px::array working = to_ndarray(image);
    px::vorel engine =
        configured_engine(working.dims, sigma, patch_radius, neighborhood_axes, max_iter, pvalue, renoise);
    run_unlocked(engine, working, sigma);
    write_back(image, working);
    return image;
}

ndarray denoise_poisson_gaussian(ndarray image, float sigma, const std::vector<float>& gain,
                                 const std::vector<float>& offset, const std::vector<int>& patch_radius,
                                 const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int nthreads,
                                 float renoise) {
    require_axis_lists(patch_radius, neighborhood_axes);
    set_thread_count(nthreads);
    px::sensor_noise noise;
    noise.gain = gain;
    noise.offset = offset;
    px::array working = to_ndarray(image);
    // Both transforms divide by the gain of every channel.
    noise.check_parameters(working.dims.c);
    noise.gat(working);
    px::vorel engine =
        configured_engine(working.dims, sigma, patch_radius, neighborhood_axes, max_iter, pvalue, renoise);
    run_unlocked(engine, working, sigma);
    noise.igat(working);
    write_back(image, working);
    return image;
}
