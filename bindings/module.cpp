// The module _px: its docstring, its functions in their fixed order, and
// __version__. PYBIND11_MODULE provides the version gate, the multi-phase
// definition and the exec step.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "bindings/entry_points.hpp"
#include "bindings/numpy_bridge.hpp"

namespace {
// Eighteen lines; the blank line 16 holds eight spaces and the text ends in
// four spaces without a line feed.
constexpr const char* module_doc =
    "\n"
    "        pxvorel 4.0 denoising\n"
    "        ---------------------\n"
    "\n"
    "        .. currentmodule:: pxvorel\n"
    "\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "           _calibrate_gaussian\n"
    "           _denoise_gaussian\n"
    "           _calibrate_poisson_gaussian\n"
    "           _denoise_poisson_gaussian\n"
    "\n"
    "        .. rubric:: Reference\n"
    "        \n"
    "        .. [1] Patch-based non-local denoising of multi-dimensional image sequences with growing search "
    "neighbourhoods.\n"
    "    ";
}  // namespace

PYBIND11_MODULE(_px, m) {
    m.doc() = module_doc;
    m.def("_calibrate_gaussian", &calibrate_gaussian, "pxvorel gaussian noise std estimation");
    m.def("_calibrate_poisson_gaussian", &calibrate_poisson_gaussian, "pxvorel noise estimation");
    m.def("_denoise_gaussian", &denoise_gaussian, "pxvorel denoising");
    m.def("_denoise_poisson_gaussian", &denoise_poisson_gaussian, "pxvorel denoising");
    m.def("test", &test, "pxvorel test");
    m.def("_pseudoresiduals", &pseudoresiduals, "pxvorel pseudoresiduals");
    m.attr("__version__") = "dev";
}
