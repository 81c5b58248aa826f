// The module _engine: the denoising engine for long runs, which report their
// progress and stop when asked.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/engine/geometry_entry.hpp"
#include "bindings/engine/watched_denoise.hpp"
#include "bindings/engine/watched_wiener.hpp"

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
    m.def("geometry", &engine_geometry,
          "The engine's geometry for an image of `shape` (engine axis order): a dict of 'search_radius'\n"
          "(per iteration, the search radius along t, z, y, x), 'grid_step' and 'reach' (t, z, y, x:\n"
          "the spacing of the interior reference grid, and the distance from a cut face within which\n"
          "a part of the image denoises differently from the whole), and 'work' (the units of work\n"
          "of a run, as its progress counts them).",
          py::arg("shape"), py::arg("patch_radius"), py::arg("neighborhood_axes"), py::arg("max_iter"));
    m.def("wiener", &watched_wiener,
          "The second stage: an empirical Wiener filter of `noisy` in a sliding-window DCT, with `pilot`\n"
          "(a first estimate) giving the shrinkage S / (S + 1) of each coefficient, S = max(P^2 - floor, 0)\n"
          "(floor: the part of P^2 the pilot's own error may hold; 0 by default). Both float32 arrays\n"
          "of one shape (engine axis order) at unit noise variance; channels are filtered apart.\n\n"
          "block, step and origin have 5 entries (x, y, z, c, t; c must be 1, 1, 0): the block shape,\n"
          "the spacing of block positions, and the whole image's coordinate of the first sample (block\n"
          "positions are multiples of the step in whole-image coordinates). Progress reports and stop\n"
          "requests as for denoise; the inputs are never written, the result is a new array.",
          py::arg("noisy"), py::arg("pilot"), py::arg("block"), py::arg("step"), py::arg("origin"), py::arg("threads"),
          py::arg("progress") = py::none(), py::arg("floor") = 0.0f);
}
