#pragma once
// Everything the weighted neighbourhood sum of one reference position reads
// and writes, as raw pointers and integers, so that the instruction-set
// specific kernels share no inline code with the rest of the engine.

#include <cstdint>

namespace px {

struct neighbourhood_task {
    // Image size and patch radius along x, y, z, t; channels counts the c axis.
    std::int32_t size[4];
    std::int32_t patch_radius[4];
    std::int32_t search_radius[4];
    std::int32_t channels;
    std::int32_t position[4];  // the reference position x, y, z, t

    const float* noisy;     // the noisy image: the patches that are summed
    const float* estimate;  // current estimate and its variance: the distances
    const float* variance;
    float* patch;  // the weighted patch sum, patch_size samples in canonical order

    float sigma;
    double threshold;  // chi-square threshold of the weights

    // Added to, as the straight loop would: one neighbour after the other.
    float* weight_sq_sum;
    float* weight_sum;
};

}  // namespace px
