#include "bindings/engine/watched_denoise.hpp"

#include <chrono>

#include "bindings/engine/engine_thread.hpp"
#include "bindings/engine_setup.hpp"

namespace py = pybind11;

namespace {

constexpr std::chrono::milliseconds report_interval{100};

// With the interpreter lock: pending signal handlers first (a KeyboardInterrupt
// raises here), then the progress callback.
void report(const py::object& progress, double fraction) {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    if (!progress.is_none()) progress(fraction);
}

}  // namespace

ndarray watched_denoise(ndarray image, float sigma, const std::vector<int>& patch_radius,
                        const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int threads,
                        float renoise, const py::object& progress) {
    if (!progress.is_none() && PyCallable_Check(progress.ptr()) == 0) {
        throw py::type_error("progress must be callable or None");
    }
    require_axis_lists(patch_radius, neighborhood_axes);
    // The engine reads the samples where they lie, with no copy of its own: image
    // is held until the call returns, and the package's arrays are its own.
    const px::image_view noisy(dims_of(image), image.data());
    px::vorel engine =
        configured_engine(noisy.dims, sigma, patch_radius, neighborhood_axes, max_iter, pvalue, renoise);
    px::array denoised;
    px::run_control control;
    engine.control = &control;
    const int team = thread_count(threads);
    {
        const py::gil_scoped_release unlocked;
        engine_thread run(engine, noisy, denoised, sigma, team, control);
        while (!run.wait_for(report_interval)) {
            const py::gil_scoped_acquire locked;
            report(progress, control.fraction());
        }
        run.finish();
    }
    report(progress, 1.0);
    ndarray result(std::vector<py::ssize_t>(image.shape(), image.shape() + image.ndim()));
    write_back(result, denoised);
    return result;
}
