#include "bindings/engine/watched_run.hpp"

#include <chrono>

#include "bindings/engine/background_job.hpp"

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

void require_progress(const py::object& progress) {
    if (!progress.is_none() && PyCallable_Check(progress.ptr()) == 0) {
        throw py::type_error("progress must be callable or None");
    }
}

void run_watched(const std::function<void()>& job, int threads, px::run_control& control, const py::object& progress) {
    {
        const py::gil_scoped_release unlocked;
        background_job run(job, threads, control);
        while (!run.wait_for(report_interval)) {
            const py::gil_scoped_acquire locked;
            report(progress, control.fraction());
        }
        run.finish();
    }
    report(progress, 1.0);
}
