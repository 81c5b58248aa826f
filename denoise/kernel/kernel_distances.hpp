#pragma once
// The patch distances of the neighborhood kernel: up to 16 neighbors that
// follow each other along x are the lanes of one vector (their samples are
// contiguous); each lane sums its own float terms in canonical patch order in
// double precision. Reference positions that follow each other along x with
// the same window of neighbors compute their distances together, every
// shared term once, kept in a kernel_scratch until each position's turn;
// with AVX-512 and AVX2 their lanes are runs of 16 neighbors that continue
// across the rows of the window.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cstdint>
#include <cstring>

#include "denoise/kernel/kernel_walk.hpp"
#include "denoise/kernel/neighborhood_task.hpp"
#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

// The term of sample j of the reference patch in the distances to a vector
// of neighbors, whose samples lanes(p) loads given the reference's sample at
// p: the squared difference of the estimates times the sum of their inverse
// variances, computed as (va + vb) d^2 / (va vb) in float.
template <class Lanes>
inline auto distance_term(const float* est, const float* var, index_t j, const Lanes& lanes) {
    const float va = var[j];
    const auto vb = lanes(var + j);
    const auto d = est[j] - lanes(est + j);
    const auto d2 = d * d;
    return ((va + vb) * d2) / (va * vb);
}

// The lanes of Lanes neighbors delta, delta + 1, ... samples away (the
// first n valid, all when Full).
template <int Lanes, bool Full>
struct neighbor_run {
    index_t delta;
    int n;
    auto operator()(const float* p) const { return load_lanes<Lanes, Full>(p + delta, n); }
};

#if defined(__AVX512F__)
// The lanes of a run of neighbors in Pieces pieces: masked loads, each
// piece's from an address that puts its first neighbor in its first lane
// (computed as an integer: it may lie outside the image, but the lanes
// masked off are not read).
template <int Pieces>
struct run_lanes {
    const neighbor_lanes& run;
    float16 operator()(const float* p) const {
        __m512 v = _mm512_maskz_loadu_ps(run.mask[0], p + run.delta[0]);
        for (int k = 1; k < Pieces; ++k) {
            const std::intptr_t shift =
                static_cast<std::intptr_t>(run.delta[k] - run.first[k]) * static_cast<std::intptr_t>(sizeof(float));
            v = _mm512_mask_loadu_ps(v, run.mask[k],
                                     reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) +
                                                                   static_cast<std::uintptr_t>(shift)));
        }
        return reinterpret_cast<float16>(v);
    }
};
#elif defined(__AVX2__)
// The same runs from two 8-lane halves: each piece's lanes of a half come
// from a masked load (lanes masked off are neither read nor set) at the
// address that puts its first neighbor in its first lane, and the pieces,
// each zero outside its lanes, are joined with an OR. The masks and
// address shifts are worked out once per run, not per patch sample.
template <int Pieces>
struct run_lanes {
    __m256i mask[Pieces][2];
    std::intptr_t shift[Pieces][2];

    explicit run_lanes(const neighbor_lanes& run) {
        const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        for (int k = 0; k < Pieces; ++k) {
            for (int h = 0; h < 2; ++h) {
                const __m256i lanes = _mm256_set1_epi32(static_cast<int>((run.mask[k] >> (8 * h)) & 0xffu));
                mask[k][h] = _mm256_cmpeq_epi32(_mm256_and_si256(lanes, bits), bits);
                shift[k][h] = static_cast<std::intptr_t>(run.delta[k] - run.first[k] + 8 * h) *
                              static_cast<std::intptr_t>(sizeof(float));
            }
        }
    }

    float16 operator()(const float* p) const {
        __m256 half[2];
        for (int h = 0; h < 2; ++h) {
            half[h] = _mm256_maskload_ps(at(p, 0, h), mask[0][h]);
            for (int k = 1; k < Pieces; ++k)
                half[h] = _mm256_or_ps(half[h], _mm256_maskload_ps(at(p, k, h), mask[k][h]));
        }
        return {reinterpret_cast<float8>(half[0]), reinterpret_cast<float8>(half[1])};
    }

private:
    // Computed as an integer: the address may lie outside the image, but
    // the lanes masked off are not read.
    const float* at(const float* p, int k, int h) const {
        return reinterpret_cast<const float*>(reinterpret_cast<std::uintptr_t>(p) +
                                              static_cast<std::uintptr_t>(shift[k][h]));
    }
};
#endif

// Distances from the reference patch (at est, var) to the patches of Lanes
// neighbors delta, delta + 1, ... samples away; the first n lanes are
// valid (all when Full). out[l] receives lane l's distance.
template <int Width, int Lanes, bool Full>
inline void distances(const patch_walk& walk, const float* est, const float* var, index_t delta, int n, double* out) {
    const index_t width = Width > 0 ? Width : walk.width;
    double8 sum[Lanes / 8] = {};
    walk.rows([&](index_t row, index_t) {
        for (index_t j = row; j < row + width; ++j) {
            const auto term = distance_term(est, var, j, neighbor_run<Lanes, Full>{delta, n});
            if constexpr (Lanes == 8) {
                sum[0] += widen(term);
            } else {
                sum[0] += widen(low_half(term));
                sum[1] += widen(high_half(term));
            }
        }
    });
    std::memcpy(out, sum, sizeof sum);
}

// The distances of distances() for R reference positions step apart along
// x that share their window of neighbors: their patch rows overlap, so each
// term (sample pair) is computed once and added to every position's sum that
// holds it, each sum still taking its terms in canonical patch order. Every
// term computed is one of some position's own (step <= width), so nothing is
// read that those positions would not read. The neighbors are the Lanes
// lanes loads (n of them valid); position k's n distances go to
// out + k * out_stride.
template <int Width, int Lanes, int R, int Step, class Loads>
inline void group_distances(const patch_walk& walk, const float* est, const float* var, const Loads& lanes, int n,
                            double* out, index_t out_stride) {
    static_assert(Width > 0 && Step >= 1 && Step <= Width, "the positions' patch rows overlap or touch");
    constexpr int span = Width + (R - 1) * Step;
    double8 sum[R][Lanes / 8] = {};
    walk.rows([&](index_t row, index_t) {
#pragma GCC unroll 64
        for (int c = 0; c < span; ++c) {
            const auto term = distance_term(est, var, row + c, lanes);
            if constexpr (Lanes == 8) {
                const double8 wide = widen(term);
#pragma GCC unroll 8
                for (int k = 0; k < R; ++k)
                    if (c >= k * Step && c < k * Step + Width) sum[k][0] += wide;
            } else {
                const double8 low = widen(low_half(term));
                const double8 high = widen(high_half(term));
#pragma GCC unroll 8
                for (int k = 0; k < R; ++k) {
                    if (c >= k * Step && c < k * Step + Width) {
                        sum[k][0] += low;
                        sum[k][1] += high;
                    }
                }
            }
        }
    });
    for (int k = 0; k < R; ++k) std::memcpy(out + k * out_stride, sum[k], static_cast<std::size_t>(n) * sizeof(double));
}

template <int Width, int R, int Step>
inline void fill_group(const patch_walk& walk, const search_window& window, const std::int32_t* p, const float* est,
                       const float* var, kernel_scratch& cache) {
    index_t at = 0;
    const index_t stride = cache.per_position;
#if defined(__AVX512F__) || defined(__AVX2__)
    // Runs of 16 neighbors in window order, across the rows of the window:
    // rows of 17 (the last iteration's search radius 8) would otherwise take a
    // vector of 16 and one of a single lane, and rows of 5 vectors of 8.
    window.runs(walk, p, [&](const neighbor_lanes& run) {
        double* const out = cache.values + at;
        if (run.pieces == 1) group_distances<Width, 16, R, Step>(walk, est, var, run_lanes<1>{run}, run.n, out, stride);
        else if (run.pieces == 2)
            group_distances<Width, 16, R, Step>(walk, est, var, run_lanes<2>{run}, run.n, out, stride);
        else group_distances<Width, 16, R, Step>(walk, est, var, run_lanes<3>{run}, run.n, out, stride);
        at += run.n;
    });
#else
    window.batches(walk, p, [&](index_t delta, index_t, index_t, index_t, index_t, int n) {
        double* const out = cache.values + at;
        // A shared window is never clipped: 2 s + 1 neighbors, so no batch of exactly 8.
        if (n == 16)
            group_distances<Width, 16, R, Step>(walk, est, var, neighbor_run<16, true>{delta, n}, n, out, stride);
        else if (n > 8)
            group_distances<Width, 16, R, Step>(walk, est, var, neighbor_run<16, false>{delta, n}, n, out, stride);
        else group_distances<Width, 8, R, Step>(walk, est, var, neighbor_run<8, false>{delta, n}, n, out, stride);
        at += n;
    });
#endif
}

// fill_group for cache.count positions (2, 4 or 8) step apart.
template <int Width>
inline void fill_group_of(const patch_walk& walk, const search_window& window, const std::int32_t* p, const float* est,
                          const float* var, index_t step, kernel_scratch& cache) {
    if constexpr (Width > 0) {
        constexpr int wide = Width / 2 + 1;
        const int count = cache.count;
        if (step == 1) {
            if (count == 8) fill_group<Width, 8, 1>(walk, window, p, est, var, cache);
            else if (count == 4) fill_group<Width, 4, 1>(walk, window, p, est, var, cache);
            else fill_group<Width, 2, 1>(walk, window, p, est, var, cache);
        } else if (step == wide) {
            if (count == 8) fill_group<Width, 8, wide>(walk, window, p, est, var, cache);
            else if (count == 4) fill_group<Width, 4, wide>(walk, window, p, est, var, cache);
            else fill_group<Width, 2, wide>(walk, window, p, est, var, cache);
        }
    }
}

// The cached distances of position p, computing them together with those of
// the positions that follow it where they share its window; nullptr where
// the position goes alone.
template <int Width>
inline const double* cached_distances(const neighborhood_task& task, const patch_walk& walk,
                                      const search_window& window, const float* est, const float* var) {
    kernel_scratch* const cache = task.cache;
    const std::int32_t* p = task.position;
    if (cache == nullptr) return nullptr;
    if (cache->count > 0 && p[1] == cache->first[1] && p[2] == cache->first[2] && p[3] == cache->first[3]) {
        const index_t offset = index_t{p[0]} - cache->first[0];
        if (offset >= 0 && offset % cache->step == 0 && offset / cache->step < cache->count)
            return cache->values + offset / cache->step * cache->per_position;
    }
    cache->count = 0;
    const index_t step = task.following_step;
    const index_t width = Width > 0 ? Width : walk.width;
    // Rows of compile-time width, one after the other (step 1, edge passes)
    // or the interior grid's step of radius + 1.
    if (Width == 0 || task.following < 1 || (step != 1 && step != width / 2 + 1)) return nullptr;
    const index_t per_position = window.neighbors();
    if (per_position == 0) return nullptr;
    // The positions that follow with the same window relative to themselves.
    int group = 1;
    const int most = task.following + 1 < 8 ? task.following + 1 : 8;
    while (group < most) {
        std::int32_t q[4] = {static_cast<std::int32_t>(p[0] + group * step), p[1], p[2], p[3]};
        const search_window next(task, q);
        if (next.lo[0] - q[0] != window.lo[0] - p[0] || next.hi[0] - q[0] != window.hi[0] - p[0]) break;
        ++group;
    }
    while (group > 1 && group * per_position > cache->capacity) group /= 2;
    if (group < 2) return nullptr;
    cache->per_position = per_position;
    cache->step = static_cast<std::int32_t>(step);
    for (int a = 0; a < 4; ++a) cache->first[a] = p[a];
    const int held = group >= 8 ? 8 : group >= 4 ? 4 : 2;
    cache->count = held;
    fill_group_of<Width>(walk, window, p, est, var, step, *cache);
    return cache->values;
}

// The distances of the position that follows p (at x + following_step) where
// the group in the cache holds it too; nullptr otherwise.
inline const double* next_cached(const neighborhood_task& task, const double* cached) {
    const kernel_scratch* const cache = task.cache;
    if (cached == nullptr || task.following < 1 || cache->step != task.following_step) return nullptr;
    const index_t index = (index_t{task.position[0]} - cache->first[0]) / cache->step;
    return index + 1 < cache->count ? cached + cache->per_position : nullptr;
}

}  // namespace px::PX_KERNEL_NAMESPACE
