// The calibration entry points: the noise of an image measured before
// denoising. They keep the interpreter lock throughout and leave the OpenMP
// thread count as it is.

#include "bindings/entry_points.hpp"
#include "noise/sensor_noise.hpp"

double calibrate_gaussian(ndarray image) {
    const px::sensor_noise noise;
    const px::array working = to_ndarray(image);
    return noise.gaussian_std(working);
}

std::vector<std::vector<float>> calibrate_poisson_gaussian(ndarray image) {
    px::sensor_noise noise;
    const px::array working = to_ndarray(image);
    noise.estimate(working);
    std::vector<std::vector<float>> gain_and_offset;
    gain_and_offset.push_back(noise.gain);
    gain_and_offset.push_back(noise.offset);
    return gain_and_offset;
}

void pseudoresiduals(ndarray& image) {
    const px::sensor_noise noise;
    const px::array working = to_ndarray(image);
    px::array residuals(working.dims, 0.0f);
    noise.pseudo_residuals(working, residuals);
    // Only now is write access needed: a read-only array fails here, unchanged.
    write_back(image, residuals);
}
