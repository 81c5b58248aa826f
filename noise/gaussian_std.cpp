// One robust noise level for a whole image: the median absolute deviation of
// its pseudo-residuals, scaled to a Gaussian standard deviation.

#include <cmath>

#include "noise/sensor_noise.hpp"

namespace px {

double sensor_noise::gaussian_std(const array& image) {
    array residuals(image.dims, 0.0f);
    pseudo_residuals(image, residuals);
    // A single sample has no neighbor and so no residual to measure.
    if (residuals.values.size() < 2) return 0.0;

    auto& pooled = residuals.values;
    const double centre = median(pooled);
    for (float& r : pooled) r = static_cast<float>(std::fabs(static_cast<double>(r) - centre));
    const double deviation = median(pooled);
    return std::fabs(mad_to_sigma * deviation);
}

}  // namespace px
