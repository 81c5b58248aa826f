#pragma once
// Per-channel Poisson-Gaussian noise model: the noise variance of a sample of
// channel c at intensity v is gain[c] * v + offset[c]. Holds the estimators
// that measure it from an image and the variance-stabilising transform that
// uses it.

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/array.hpp"

namespace px {

class sensor_noise {
public:
    std::vector<float> gain{0.0f};  // slope of the variance line, one entry per channel
    std::vector<float> offset;      // intercept of the variance line, one entry per channel
    int block_size = 3;             // anchor spacing and half-width of the sampling windows of estimate

    // Turns a median absolute deviation into a standard deviation for Gaussian noise.
    static constexpr double mad_to_sigma = 1.4826;

    // Sorts v ascending in place and returns its median; 0 for an empty list.
    // NaN sorts after every number, so a list holding NaN still has a strict
    // weak order and a deterministic median. For an even count the two middle
    // values are added in T and the sum is halved in double.
    template <class T, class Allocator>
    static double median(std::vector<T, Allocator>& v) {
        std::sort(v.begin(), v.end(), [](T a, T b) { return !std::isnan(a) && (std::isnan(b) || a < b); });
        const std::size_t n = v.size();
        if (n == 0) return 0.0;
        if (n % 2 == 1) return static_cast<double>(v[(n - 1) / 2]);
        const T middle_sum = v[n / 2 - 1] + v[n / 2];
        return static_cast<double>(middle_sum) * 0.5;
    }

    // Overwrites every sample of residuals that has a neighbor with the
    // sample minus the mean of its neighbors (3 x 3 x 3 x 3 along x, y, z, t,
    // never across channels), scaled to the noise's own variance. residuals
    // must have image's dims and hold 0 everywhere.
    static void pseudo_residuals(const array& image, array& residuals);

    // Robust noise standard deviation of the whole image, all channels and
    // frames pooled: 1.4826 times the median absolute deviation of the
    // pseudo-residuals.
    static double gaussian_std(const array& image);

    // Fits gain and offset for every channel of image by a robust regression
    // of local noise variance on local median intensity. Leaves exactly
    // image.dims.c entries in each list. A channel that cannot be fitted gets
    // gain 1 and offset 0 and a diagnostic on standard output.
    void estimate(const array& image);

    // Throws std::invalid_argument unless gain and offset hold an entry for
    // each of the first `channels` channels, every such gain is finite and
    // non-zero and every such offset is finite.
    void check_parameters(int channels) const;

    // Generalised Anscombe transform in place, each channel with its own
    // gain and offset: the noise becomes close to unit variance.
    void gat(array& image) const;

    // Inverse of gat plus 0.25, in place.
    void igat(array& image) const;
};

}  // namespace px
