// Placeholder: the calibration entry points are being built.

#include <stdexcept>

#include "bindings/entry_points.hpp"

double calibrate_gaussian(ndarray) { throw std::runtime_error("_calibrate_gaussian is not built yet"); }
std::vector<std::vector<float>> calibrate_poisson_gaussian(ndarray) {
    throw std::runtime_error("_calibrate_poisson_gaussian is not built yet");
}
void pseudoresiduals(ndarray&) { throw std::runtime_error("_pseudoresiduals is not built yet"); }
