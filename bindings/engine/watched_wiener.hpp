#pragma once
// The second-stage entry point of the module _engine: the DCT Wiener filter
// of a noisy image with a pilot estimate, with progress reports and stop requests.

#include <pybind11/pybind11.h>

#include <vector>

#include "bindings/numpy_bridge.hpp"

// The filtered image as a new array (noisy and pilot: same shape, 1 to 5
// dimensions, engine axis order, unit noise variance; both only read).
// block, step and origin have 5 entries (x, y, z, c, t); the c entries must be
// 1, 1 and 0 (channels are filtered apart). threads <= 0 counts back from the
// calling thread's OpenMP setting. Progress and signals as for watched_denoise.
// floor (>= 0) is subtracted from every squared pilot coefficient (0: none).
ndarray watched_wiener(ndarray noisy, ndarray pilot, const std::vector<int>& block, const std::vector<int>& step,
                       const std::vector<long long>& origin, int threads, const pybind11::object& progress,
                       float floor);
