#pragma once
// The denoising entry point of the module _engine: the engine of _px on a
// float32 image, with progress reports and stop requests.

#include <pybind11/pybind11.h>

#include <vector>

#include "bindings/numpy_bridge.hpp"

// Denoises image (1 to 5 dimensions, engine axis order), read where it
// lies, and returns the result as a new array; image itself is never written. Parameters as
// for _px._denoise_gaussian, except that threads <= 0 counts back from the
// calling thread's OpenMP setting without changing it. About ten times a
// second the calling thread takes the interpreter lock, calls progress (if
// not None) with the fraction done and lets Python handle pending signals;
// an exception raised there stops the run and propagates.
ndarray watched_denoise(ndarray image, float sigma, const std::vector<int>& patch_radius,
                        const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int threads,
                        float renoise, const pybind11::object& progress);
