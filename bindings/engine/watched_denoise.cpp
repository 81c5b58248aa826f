#include "bindings/engine/watched_denoise.hpp"

#include "bindings/engine/watched_run.hpp"
#include "bindings/engine_setup.hpp"

ndarray watched_denoise(ndarray image, float sigma, const std::vector<int>& patch_radius,
                        const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int threads,
                        float renoise, const pybind11::object& progress) {
    require_progress(progress);
    require_axis_lists(patch_radius, neighborhood_axes);
    // The engine reads the samples where they lie, with no copy of its own: image
    // is held until the call returns, and the package's arrays are its own.
    const px::image_view noisy(dims_of(image), image.data());
    px::vorel engine = configured_engine(noisy.dims, sigma, patch_radius, neighborhood_axes, max_iter, pvalue, renoise);
    px::array denoised;
    px::run_control control;
    engine.control = &control;
    run_watched([&] { denoised = engine.run(noisy, sigma); }, thread_count(threads), control, progress);
    ndarray result(std::vector<pybind11::ssize_t>(image.shape(), image.shape() + image.ndim()));
    write_back(result, denoised);
    return result;
}
