#pragma once
// The native functions behind _px's Python functions. All parameters are
// positional; images arrive as C-contiguous float32 NumPy arrays.

#include <vector>

#include "bindings/numpy_bridge.hpp"

double calibrate_gaussian(ndarray image);
std::vector<std::vector<float>> calibrate_poisson_gaussian(ndarray image);
void pseudoresiduals(ndarray& image);

ndarray denoise_gaussian(ndarray image, float sigma, const std::vector<int>& patch_radius,
                         const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int nthreads,
                         float renoise);

ndarray denoise_poisson_gaussian(ndarray image, float sigma, const std::vector<float>& gain,
                                 const std::vector<float>& offset, const std::vector<int>& patch_radius,
                                 const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, int nthreads,
                                 float renoise);
