// The denoising entry points: thread count, conversion, engine
// configuration and validation, the run without the interpreter lock, and
// the write-back into the array the caller handed over.

#include <omp.h>

#include <stdexcept>
#include <string>

#include "bindings/entry_points.hpp"
#include "denoise/vorel.hpp"
#include "noise/sensor_noise.hpp"

namespace {

// Both per-axis lists are read by position: x, y, z, c, t.
void require_axis_lists(const std::vector<int>& patch_radius, const std::vector<int>& neighborhood_axes) {
    const auto check = [](const std::vector<int>& list, const char* name) {
        if (list.size() < 5) {
            throw std::invalid_argument(std::string(name) + " needs 5 entries (x, y, z, c, t), got " +
                                        std::to_string(list.size()));
        }
    };
    check(patch_radius, "patch_radius");
    check(neighborhood_axes, "neighborhood_axes");
}

// Above 0 sets the count; 0 or below counts back from the current default,
// never below one. The setting stays in force on the calling thread.
void set_thread_count(int nthreads) {
    if (nthreads > 0) {
        omp_set_num_threads(nthreads);
    } else {
        const int remaining = omp_get_max_threads() + nthreads;
        omp_set_num_threads(remaining > 1 ? remaining : 1);
    }
}

// An engine configured for an image of these dims. The z and t radii and
// search switches apply only where the image extends along that axis; an x
// or y axis of one sample gets radius 0 too.
px::vorel configured_engine(const px::extent& dims, float sigma, const std::vector<int>& patch_radius,
                            const std::vector<int>& neighborhood_axes, int max_iter, float pvalue,
                            float renoise) {
    px::vorel engine;
    const px::extent radius{dims.x != 1 ? patch_radius[0] : 0, dims.y != 1 ? patch_radius[1] : 0,
                            dims.z != 1 ? patch_radius[2] : 0, 0, dims.t != 1 ? patch_radius[4] : 0};
    const px::extent axes{1, 1, dims.z != 1 && neighborhood_axes[2] != 0 ? 1 : 0, 0,
                          dims.t != 1 && neighborhood_axes[4] != 0 ? 1 : 0};
    engine.set_max_iter(max_iter);
    engine.set_patch_radius(radius);
    engine.set_neighborhood_axes(axes);
    engine.set_pvalue(pvalue);
    engine.set_renoise(renoise);
    // Every distance divides by a variance built from sigma.
    if (!(sigma > 0.0f)) throw std::invalid_argument("sigma must be > 0");
    engine.check_patch_fits(dims);
    return engine;
}

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
                                 const std::vector<int>& neighborhood_axes, int max_iter, float pvalue,
                                 int nthreads, float renoise) {
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
