#pragma once
// Everything the weighted neighborhood sum of one reference position reads
// and writes, as raw pointers and integers, so that the instruction-set
// specific kernels share no inline code with the rest of the engine.

#include <cstdint>

namespace px {

// A thread's scratch for the kernel, made once per pass (it is valid for one
// set of arrays and one search radius):
// - distances of reference positions that follow each other along x with the
//   same window of neighbors: computed together, since neighboring patches
//   share most of their terms, and kept until each position's turn;
// - room for the noisy samples a position's neighbor patches cover, widened
//   to double once for the patch update;
// - room for the weights of the positions whose distances it holds.
struct kernel_scratch {
    double* values = nullptr;  // capacity doubles
    std::int64_t capacity = 0;
    std::int32_t first[4] = {};  // the first position held
    std::int32_t step = 0;       // x spacing of the positions held
    std::int32_t count = 0;      // positions held
    std::int64_t per_position = 0;

    double* widened = nullptr;  // widened_capacity doubles
    std::int64_t widened_capacity = 0;

    // Room for the weights of the positions whose distances are held, computed
    // for all their neighbors at once: batches of a few neighbors would fill
    // few of the vectorised exp's lanes.
    double* weights = nullptr;  // weights_capacity doubles
    std::int64_t weights_capacity = 0;
};

struct neighborhood_task {
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

    // Added to, as the straight loop would: one neighbor after the other.
    float* weight_sq_sum;
    float* weight_sum;

    // Optional: the thread's scratch, and how many positions this caller
    // visits next at x + k following_step (k = 1 .. following), the other
    // coordinates the same.
    kernel_scratch* cache = nullptr;
    std::int32_t following = 0;
    std::int32_t following_step = 0;

    // Optional: where the sums of the position that follows (at x +
    // following_step) go, zeroed or added to as for this one. The kernel may
    // compute them alongside, where that is cheaper; it then sets *next_done.
    float* next_patch = nullptr;
    float* next_weight_sq_sum = nullptr;
    float* next_weight_sum = nullptr;
    bool* next_done = nullptr;
};

}  // namespace px
