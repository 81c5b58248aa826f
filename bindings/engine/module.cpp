// The module _engine: the denoising engine for long runs, which report their
// progress and stop when asked.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/engine/watched_denoise.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_engine, m) {
    m.doc() = "pxvorel's denoising engine with progress reports and stop requests.";
    m.def("denoise", &watched_denoise,
          "Denoise a copy of a float32 image (engine axis order) with Gaussian noise of the given sigma.\n\n"
          "About ten times a second, `progress(fraction)` is called on the calling thread and pending\n"
          "signals are handled; an exception from either stops the run and propagates. The image is\n"
          "never written; the result is a new array.",
          py::arg("image"), py::arg("sigma"), py::arg("patch_radius"), py::arg("neighborhood_axes"),
          py::arg("max_iter"), py::arg("pvalue"), py::arg("threads"), py::arg("renoise"),
          py::arg("progress") = py::none());
}
