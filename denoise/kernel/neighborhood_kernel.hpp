#pragma once
// The weighted neighborhood sum of one reference position, vectorised
// without changing any lane's operation order:
// - distances: up to 16 neighbors that follow each other along x are the
//   lanes of one vector (their samples are contiguous); each lane sums its
//   own float terms in canonical patch order in double precision; reference
//   positions that follow each other along x with the same window of
//   neighbors compute their distances together, every shared term once
//   (kept in a kernel_scratch until each position's turn);
// - weights: eight lanes of exp at a time; the two weight sums one
//   neighbor after the other, scalar, in step with the patch update;
// - patch update: the samples of a patch row are the lanes; every sample
//   takes the neighbors' contributions in neighbor order, rounded to float
//   after each, up to twelve rows at a time to hide the latency of that chain;
//   two positions whose distances a group holds go side by side, up to nine
//   rows each (the second one's sums go to the task's next_* outputs).
// The patch width is a compile-time constant for x radii 1 to 3 (Width 3, 5,
// 7) and a run-time value otherwise (Width 0).
// Each part has its header: kernel_walk.hpp (patch rows, search window),
// kernel_distances.hpp, kernel_weights.hpp and kernel_update.hpp.
// Included by one translation unit per instruction set (see simd_lanes.hpp).

#include <cstdint>

#include "denoise/kernel/kernel_distances.hpp"
#include "denoise/kernel/kernel_update.hpp"
#include "denoise/kernel/kernel_walk.hpp"
#include "denoise/kernel/kernel_weights.hpp"
#include "denoise/kernel/neighborhood_task.hpp"

namespace px::PX_KERNEL_NAMESPACE {

// The weighted neighborhood sums of Positions positions: the task's own and,
// with 2, the one following_step on along x, whose distances the cache holds
// (at next) and whose outputs are the task's next_*. Their patch updates go
// side by side, reading one widened copy; returns false, having written
// nothing, where two positions do not fit it.
template <int Width, int Positions>
bool sum_positions(const neighborhood_task& task, const patch_walk& walk, const search_window& window,
                   const double* cached, const double* next) {
    const std::int32_t* p = task.position;
    const index_t reference = walk.offset(p[0], p[1], p[2], p[3]);
    const float* const noisy = task.noisy + reference;
    const float* const est = task.estimate + reference;
    const float* const var = task.variance + reference;
    const index_t apart = Positions == 2 ? index_t{task.following_step} : 0;
    patch_walk wide = walk;
    const double* wide_noisy = nullptr;
    const bool widened = widen_noisy<Width>(task, window, apart, wide_noisy, wide);
    if (Positions == 2 && !widened) return false;

    float* patch[Positions] = {task.patch};
    weight_sums sums[Positions] = {{task.sigma, *task.weight_sq_sum, *task.weight_sum, 0.0f}};
    const double* at[Positions] = {cached};
    if constexpr (Positions == 2) {
        patch[1] = task.next_patch;
        sums[1] = {task.sigma, *task.next_weight_sq_sum, *task.next_weight_sum, 0.0f};
        at[1] = next;
    }
    // The weights of positions whose distances the group holds, all at once
    // where there is room; otherwise batch by batch.
    const kernel_scratch* const scratch = task.cache;
    const double* all[Positions] = {};
    if (at[0] != nullptr && scratch->weights != nullptr &&
        Positions * scratch->per_position <= scratch->weights_capacity) {
        for (int q = 0; q < Positions; ++q) {
            double* const out = scratch->weights + q * scratch->per_position;
            weights_of(at[q], static_cast<int>(scratch->per_position), task.threshold, out);
            all[q] = out;
        }
    }
    double computed[16];
    double batch_weights[Positions][16];
    const double* w[Positions];
    window.batches(walk, p, [&](index_t delta, index_t nx, index_t ny, index_t nz, index_t nt, int n) {
        // The batch's weights: from the distances the group computed, or computed here.
        if (all[0] != nullptr) {
            for (int q = 0; q < Positions; ++q) {
                w[q] = all[q];
                all[q] += n;
            }
        } else if (at[0] != nullptr) {
            for (int q = 0; q < Positions; ++q) {
                weights_of(at[q], n, task.threshold, batch_weights[q]);
                w[q] = batch_weights[q];
                at[q] += n;
            }
        } else {
            if (n == 16) distances<Width, 16, true>(walk, est, var, delta, n, computed);
            else if (n > 8) distances<Width, 16, false>(walk, est, var, delta, n, computed);
            else if (n == 8) distances<Width, 8, true>(walk, est, var, delta, n, computed);
            else distances<Width, 8, false>(walk, est, var, delta, n, computed);
            weights_of(computed, n, task.threshold, batch_weights[0]);
            w[0] = batch_weights[0];
        }
        // The same for every position: the window is the same relative to each.
        const bool reference_row = ny == p[1] && nz == p[2] && nt == p[3];
        const int skip = reference_row && p[0] >= nx && p[0] < nx + n ? static_cast<int>(p[0] - nx) : -1;
        if constexpr (Width > 0 && Width <= 8) {
            if (widened) {
                update_patch<Width, Positions>(wide, patch, wide_noisy,
                                               wide.offset(nx - p[0], ny - p[1], nz - p[2], nt - p[3]), apart, w, n,
                                               skip, sums);
                return;
            }
        }
        if constexpr (Positions == 1) update_patch<Width, 1>(walk, patch, noisy, delta, 0, w, n, skip, sums);
    });
    float* sq_out[Positions] = {task.weight_sq_sum};
    float* sum_out[Positions] = {task.weight_sum};
    if constexpr (Positions == 2) {
        sq_out[1] = task.next_weight_sq_sum;
        sum_out[1] = task.next_weight_sum;
    }
    const index_t width = Width > 0 ? Width : walk.width;
    for (int q = 0; q < Positions; ++q) {
        const float w_max = sums[q].w_max;
        const float* const own = noisy + q * apart;
        // The reference patch itself counts with the largest neighbor weight.
        walk.rows([&](index_t row, index_t k) {
            for (index_t j = 0; j < width; ++j) patch[q][k + j] = own[row + j] * w_max + patch[q][k + j];
        });
        const float sigma_w_max = task.sigma * w_max;
        *sq_out[q] = sums[q].sq_sum + sigma_w_max * sigma_w_max;
        *sum_out[q] = sums[q].sum + w_max;
    }
    return true;
}

template <int Width>
void neighborhood_sum(const neighborhood_task& task) {
    const patch_walk walk(task);
    const search_window window(task, task.position);
    const index_t reference = walk.offset(task.position[0], task.position[1], task.position[2], task.position[3]);
    const double* const cached =
        cached_distances<Width>(task, walk, window, task.estimate + reference, task.variance + reference);
    if constexpr (Width > 0 && Width <= 8) {
        const double* const next = task.next_patch != nullptr ? next_cached(task, cached) : nullptr;
        if (next != nullptr && sum_positions<Width, 2>(task, walk, window, cached, next)) {
            *task.next_done = true;
            return;
        }
    }
    sum_positions<Width, 1>(task, walk, window, cached, nullptr);
}

// Patch widths 3, 5 and 7 compiled as constants, any other at run time.
inline void neighborhood_sum_any(const neighborhood_task& task) {
    switch (task.patch_radius[0]) {
        case 1: neighborhood_sum<3>(task); break;
        case 2: neighborhood_sum<5>(task); break;
        case 3: neighborhood_sum<7>(task); break;
        default: neighborhood_sum<0>(task); break;
    }
}

}  // namespace px::PX_KERNEL_NAMESPACE
