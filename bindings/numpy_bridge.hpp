#pragma once
// The crossing between NumPy arrays and px::array, both ways.

#include <pybind11/numpy.h>

#include "core/array.hpp"

// Every image parameter: float32, converted by NumPy to a C-contiguous array
// unless it already is one (then the caller's own object arrives).
using ndarray = pybind11::array_t<float, pybind11::array::c_style | pybind11::array::forcecast>;

// The shape of a 1-D to 5-D NumPy array, axes reversed into (x, y, z, c, t)
// with missing outer axes 1.
px::extent dims_of(const ndarray& image);

// An independent copy of a 1-D to 5-D NumPy array, in the shape of dims_of.
px::array to_ndarray(ndarray image);

// Copies the samples of source into target's buffer, in linear order, after
// checking that target is writeable. source must hold target's sample count.
void write_back(ndarray& target, const px::array& source);

// Converts an image there and back, reporting each step on standard output.
ndarray test(ndarray image);
