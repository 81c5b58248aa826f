#pragma once
// The weighted neighbourhood sum of one reference position, vectorised
// without changing any lane's operation order:
// - distances: up to 16 neighbours that follow each other along x are the
//   lanes of one vector (their samples are contiguous); each lane sums its
//   own float terms in canonical patch order in double precision; reference
//   positions that follow each other along x with the same window of
//   neighbours compute their distances together, every shared term once
//   (kept in a kernel_scratch until each position's turn);
// - weights: eight lanes of exp at a time; the two weight sums one
//   neighbour after the other, scalar, in step with the patch update;
// - patch update: the samples of a patch row are the lanes; every sample
//   takes the neighbours' contributions in neighbour order, rounded to float
//   after each, up to twelve rows at a time to hide the latency of that chain;
//   two positions whose distances a group holds go side by side, up to nine
//   rows each (the second one's sums go to the task's next_* outputs).
// The patch width is a compile-time constant for x radii 1 to 3 (Width 3, 5,
// 7) and a run-time value otherwise (Width 0).
// Included by one translation unit per instruction set (see simd_lanes.hpp).

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "denoise/exp_lanes.hpp"
#include "denoise/neighbourhood_task.hpp"
#include "denoise/row_lanes.hpp"
#include "denoise/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

using index_t = std::int64_t;

// Linear strides of y, z, c and t, and the patch rows relative to the
// reference sample, in canonical order: row(offset, k) gets the index offset
// of the row's first sample and that sample's patch index.
struct patch_walk {
    index_t stride_y, stride_z, stride_c, stride_t;
    index_t width;
    std::int32_t radius[4];
    std::int32_t channels;

    explicit patch_walk(const neighbourhood_task& task)
        : stride_y(task.size[0]),
          stride_z(stride_y * task.size[1]),
          stride_c(stride_z * task.size[2]),
          stride_t(stride_c * task.channels),
          width(2 * index_t{task.patch_radius[0]} + 1),
          radius{task.patch_radius[0], task.patch_radius[1], task.patch_radius[2], task.patch_radius[3]},
          channels(task.channels) {}

    index_t offset(index_t dx, index_t dy, index_t dz, index_t dt) const {
        return dx + stride_y * dy + stride_z * dz + stride_t * dt;
    }

    index_t row_count() const {
        return (2 * index_t{radius[1]} + 1) * (2 * index_t{radius[2]} + 1) * channels * (2 * index_t{radius[3]} + 1);
    }

    template <class Row>
    void rows(Row&& row) const {
        index_t k = 0;
        for (index_t dt = -radius[3]; dt <= radius[3]; ++dt)
            for (index_t ch = 0; ch < channels; ++ch)
                for (index_t dz = -radius[2]; dz <= radius[2]; ++dz)
                    for (index_t dy = -radius[1]; dy <= radius[1]; ++dy) {
                        row(offset(-radius[0], dy, dz, dt) + stride_c * ch, k);
                        k += width;
                    }
    }
};

// The term of sample j of the reference patch in the distances to Lanes
// neighbours delta, delta + 1, ... samples away (the first n lanes valid):
// the squared difference of the estimates times the sum of their inverse
// variances, computed as (va + vb) d^2 / (va vb) in float.
template <int Lanes, bool Full>
inline auto distance_term(const float* est, const float* var, index_t j, index_t delta, int n) {
    const float va = var[j];
    const auto vb = load_lanes<Lanes, Full>(var + j + delta, n);
    const auto d = est[j] - load_lanes<Lanes, Full>(est + j + delta, n);
    const auto d2 = d * d;
    return ((va + vb) * d2) / (va * vb);
}

// Distances from the reference patch (at est, var) to the patches of Lanes
// neighbours delta, delta + 1, ... samples away; the first n lanes are
// valid (all when Full). out[l] receives lane l's distance.
template <int Width, int Lanes, bool Full>
inline void distances(const patch_walk& walk, const float* est, const float* var, index_t delta, int n,
                      double* out) {
    const index_t width = Width > 0 ? Width : walk.width;
    double8 sum[Lanes / 8] = {};
    walk.rows([&](index_t row, index_t) {
        for (index_t j = row; j < row + width; ++j) {
            const auto term = distance_term<Lanes, Full>(est, var, j, delta, n);
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
// x that share their window of neighbours: their patch rows overlap, so each
// term (sample pair) is computed once and added to every position's sum that
// holds it, each sum still taking its terms in canonical patch order. Every
// term computed is one of some position's own (step <= width), so nothing is
// read that those positions would not read. Position k's n distances go to
// out + k * out_stride.
template <int Width, int Lanes, bool Full, int R, int Step>
inline void group_distances(const patch_walk& walk, const float* est, const float* var, index_t delta, int n,
                            double* out, index_t out_stride) {
    static_assert(Width > 0 && Step >= 1 && Step <= Width, "the positions' patch rows overlap or touch");
    constexpr int span = Width + (R - 1) * Step;
    double8 sum[R][Lanes / 8] = {};
    walk.rows([&](index_t row, index_t) {
#pragma GCC unroll 64
        for (int c = 0; c < span; ++c) {
            const auto term = distance_term<Lanes, Full>(est, var, row + c, delta, n);
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

// The window of neighbours of a position along each axis.
struct search_window {
    index_t lo[4];
    index_t hi[4];

    search_window(const neighbourhood_task& task, const std::int32_t* p) {
        for (int a = 0; a < 4; ++a) {
            const index_t first = index_t{p[a]} - task.search_radius[a];
            const index_t last = index_t{p[a]} + task.search_radius[a];
            lo[a] = first > task.patch_radius[a] ? first : task.patch_radius[a];
            hi[a] = last < index_t{task.size[a]} - task.patch_radius[a] - 1
                        ? last
                        : index_t{task.size[a]} - task.patch_radius[a] - 1;
        }
    }

    index_t neighbours() const {
        index_t total = 1;
        for (int a = 0; a < 4; ++a) total *= hi[a] >= lo[a] ? hi[a] - lo[a] + 1 : 0;
        return total;
    }

    // Calls batch(delta, n) for the batches of up to 16 neighbours along x
    // of the position at reference, in the kernel's order.
    template <class Batch>
    void batches(const patch_walk& walk, const std::int32_t* p, Batch&& batch) const {
        for (index_t nt = lo[3]; nt <= hi[3]; ++nt)
            for (index_t nz = lo[2]; nz <= hi[2]; ++nz)
                for (index_t ny = lo[1]; ny <= hi[1]; ++ny)
                    for (index_t nx = lo[0]; nx <= hi[0];) {
                        const index_t left = hi[0] - nx + 1;
                        const int n = left >= 16 ? 16 : static_cast<int>(left);
                        batch(walk.offset(nx - p[0], ny - p[1], nz - p[2], nt - p[3]), nx, ny, nz, nt, n);
                        nx += n;
                    }
    }
};

template <int Width, int R, int Step>
inline void fill_group(const patch_walk& walk, const search_window& window, const std::int32_t* p, const float* est,
                       const float* var, kernel_scratch& cache) {
    index_t at = 0;
    const index_t stride = cache.per_position;
    window.batches(walk, p, [&](index_t delta, index_t, index_t, index_t, index_t, int n) {
        double* const out = cache.values + at;
        // A shared window is never clipped: 2 s + 1 neighbours, so no batch of exactly 8.
        if (n == 16) group_distances<Width, 16, true, R, Step>(walk, est, var, delta, n, out, stride);
        else if (n > 8) group_distances<Width, 16, false, R, Step>(walk, est, var, delta, n, out, stride);
        else group_distances<Width, 8, false, R, Step>(walk, est, var, delta, n, out, stride);
        at += n;
    });
}

// fill_group for cache.count positions (2, 4 or 8) step apart.
template <int Width>
inline void fill_group_of(const patch_walk& walk, const search_window& window, const std::int32_t* p,
                          const float* est, const float* var, index_t step, kernel_scratch& cache) {
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
inline const double* cached_distances(const neighbourhood_task& task, const patch_walk& walk,
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
    const index_t per_position = window.neighbours();
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

// The two weight sums and the largest weight of one reference position,
// taken one neighbour after the other.
struct weight_sums {
    double sigma;
    float sq_sum;
    float sum;
    float w_max;

    void add(double w) {
        const double sigma_w = sigma * w;
        sq_sum = static_cast<float>(static_cast<double>(sq_sum) + sigma_w * sigma_w);
        sum = static_cast<float>(static_cast<double>(sum) + w);
        if (w > static_cast<double>(w_max)) w_max = static_cast<float>(w);
    }
};

// patch[k] = (float)(patch[k] + noisy sample * w[l]) for the Rows patch rows
// given, every valid lane l except skip in order, 8 samples of a row at a time,
// for Positions reference positions apart samples from each other along x
// (their own patches, weights and sums; the same rows relative to each).
// With sums, each lane's weight also goes into them in the same step: the
// sums and the patch rows are independent chains of dependent roundings, so
// they wait side by side instead of one after the other; so do the rows of
// the positions.
// The samples come from the noisy image (float) or from its widened copy
// (double, rows padded so that eight lanes can always be loaded).
template <int Width, int Rows, int Positions, class Sample>
inline void update_rows(const patch_walk& walk, float* const* patch, const Sample* noisy, const index_t* rows,
                        const index_t* ks, index_t delta, index_t apart, const double* const* w, int n, int skip,
                        weight_sums* sums) {
    const index_t width = Width > 0 ? Width : walk.width;
    for (index_t chunk = 0; chunk < width; chunk += 8) {
        const int count = width - chunk < 8 ? static_cast<int>(width - chunk) : 8;
        // Each row's running value is kept rounded to float, as the patch holds it.
        using Row = row_for<Width>;
        Row value[Positions][Rows];
        weight_sums local[Positions];
        for (int q = 0; q < Positions; ++q) {
            for (int i = 0; i < Rows; ++i) value[q][i] = load_row<Row>(patch[q] + ks[i] + chunk, count);
            local[q] = sums != nullptr ? sums[q] : weight_sums{};
        }
        for (int l = 0; l < n; ++l) {
            if (l == skip) continue;
            for (int q = 0; q < Positions; ++q) {
                const double weight = w[q][l];
                if (sums != nullptr) local[q].add(weight);
                for (int i = 0; i < Rows; ++i) {
                    const Sample* const at = noisy + rows[i] + chunk + delta + q * apart + l;
                    if constexpr (std::is_same_v<Sample, double>) {
                        wide_row<Row> sample;
                        std::memcpy(&sample, at, sizeof sample);
                        value[q][i] = row_step_wide(value[q][i], sample, weight, count);
                    } else {
                        value[q][i] = row_step(value[q][i], load_row<Row>(at, count), weight, count);
                    }
                }
            }
        }
        for (int q = 0; q < Positions; ++q) {
            if (sums != nullptr) sums[q] = local[q];
            for (int i = 0; i < Rows; ++i) store_row(patch[q] + ks[i] + chunk, value[q][i], count);
        }
        sums = nullptr;
    }
}

// Rows in flight in the patch update: every row is one chain of dependent
// additions, so the more rows in flight, the less their latency shows. The
// samples read from the noisy image itself (where the widened copy does not
// fit) are the rare case, and go no more than eight at a time. Two positions
// at once go up to nine rows each.
template <class Sample, int Positions>
constexpr int max_rows_in_flight = Positions == 2 ? 9 : std::is_same_v<Sample, double> ? 12 : 8;

template <int Width, class Sample, int Positions, int Rows = max_rows_in_flight<Sample, Positions>>
inline void update_group(const patch_walk& walk, float* const* patch, const Sample* noisy, const index_t* rows,
                         const index_t* ks, int held, index_t delta, index_t apart, const double* const* w, int n,
                         int skip, weight_sums* sums) {
    if constexpr (Rows > 0) {
        if (held == Rows)
            update_rows<Width, Rows, Positions>(walk, patch, noisy, rows, ks, delta, apart, w, n, skip, sums);
        else
            update_group<Width, Sample, Positions, Rows - 1>(walk, patch, noisy, rows, ks, held, delta, apart, w, n,
                                                             skip, sums);
    }
}

// Adds one batch of weighted neighbour patches into the patches, and the
// batch's weights into the sums, of Positions positions. walk's strides are
// those of noisy. The rows go in groups of equal size (within one), so that
// no group is left with a row or two whose chains would wait on their own
// latency.
template <int Width, int Positions, class Sample>
inline void update_patch(const patch_walk& walk, float* const* patch, const Sample* noisy, index_t delta,
                         index_t apart, const double* const* w, int n, int skip, weight_sums* sums) {
    constexpr int most = max_rows_in_flight<Sample, Positions>;
    const index_t total = walk.row_count();
    const index_t groups = (total + most - 1) / most;
    const index_t larger = total % groups;  // groups of total / groups + 1 rows; the others one fewer
    index_t group_rows = total / groups + (larger > 0 ? 1 : 0);
    index_t rows[most];
    index_t ks[most];
    index_t done = 0;
    int held = 0;
    weight_sums* pending = sums;  // taken by the first group
    walk.rows([&](index_t row, index_t k) {
        rows[held] = row;
        ks[held] = k;
        if (++held == group_rows) {
            update_group<Width, Sample, Positions>(walk, patch, noisy, rows, ks, held, delta, apart, w, n, skip,
                                                   pending);
            pending = nullptr;
            held = 0;
            if (++done == larger) --group_rows;
        }
    });
}

// The noisy samples that the neighbour patches of a position cover (a box:
// the window of neighbours widened by the patch radius, and by apart samples
// along x for a second position that far on, with the same window relative to
// it), converted to double once into scratch. Returns the walk over the copy
// (its strides) and sets reference to the copy of the position's own sample;
// false where the patch is wider than eight samples or the box does not fit.
template <int Width>
inline bool widen_noisy(const neighbourhood_task& task, const search_window& window, index_t apart,
                        const double*& reference, patch_walk& wide) {
    if constexpr (Width == 0 || Width > 8) {
        return false;
    } else {
        const kernel_scratch* const scratch = task.cache;
        if (scratch == nullptr || scratch->widened == nullptr) return false;
        const std::int32_t* p = task.position;
        const std::int32_t* r = task.patch_radius;
        // Rows along x: every sample a patch row of any neighbour covers, and
        // room to load eight lanes from the last one.
        const index_t valid = Width + window.hi[0] - window.lo[0] + apart;
        const index_t extent[4] = {window.hi[0] - window.lo[0] + apart + 8, window.hi[1] - window.lo[1] + 2 * r[1] + 1,
                                   window.hi[2] - window.lo[2] + 2 * r[2] + 1,
                                   window.hi[3] - window.lo[3] + 2 * r[3] + 1};
        const index_t size = extent[0] * extent[1] * extent[2] * task.channels * extent[3];
        if (size > scratch->widened_capacity) return false;
        wide.stride_y = extent[0];
        wide.stride_z = wide.stride_y * extent[1];
        wide.stride_c = wide.stride_z * extent[2];
        wide.stride_t = wide.stride_c * task.channels;
        const patch_walk image(task);
        const index_t origin[4] = {window.lo[0] - r[0], window.lo[1] - r[1], window.lo[2] - r[2],
                                   window.lo[3] - r[3]};
        double* out = scratch->widened;
        for (index_t t = 0; t < extent[3]; ++t)
            for (index_t ch = 0; ch < task.channels; ++ch)
                for (index_t z = 0; z < extent[2]; ++z)
                    for (index_t y = 0; y < extent[1]; ++y) {
                        const float* in = task.noisy + image.offset(origin[0], origin[1] + y, origin[2] + z,
                                                                    origin[3] + t) + image.stride_c * ch;
                        for (index_t x = 0; x < valid; ++x) out[x] = in[x];
                        for (index_t x = valid; x < extent[0]; ++x) out[x] = 0.0;
                        out += extent[0];
                    }
        reference = scratch->widened + wide.offset(p[0] - origin[0], p[1] - origin[1], p[2] - origin[2],
                                                   p[3] - origin[3]);
        return true;
    }
}

// The first count (1 .. 8) of the doubles at p, the other lanes 0; nothing
// past p + count is read. In registers, with AVX-512: a partial store
// followed by a full load would wait for the store to drain.
inline exp_vector load_first_doubles(const double* p, int count) {
#if defined(__AVX512F__)
    return reinterpret_cast<exp_vector>(_mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << count) - 1u), p));
#else
    exp_vector v = {};
    std::memcpy(&v, p, static_cast<std::size_t>(count) * sizeof(double));
    return v;
#endif
}

// Stores the first count (1 .. 8) lanes of v at p; nothing past p + count is written.
inline void store_first_doubles(double* p, exp_vector v, int count) {
#if defined(__AVX512F__)
    _mm512_mask_storeu_pd(p, static_cast<__mmask8>((1u << count) - 1u), reinterpret_cast<__m512d>(v));
#else
    std::memcpy(p, &v, static_cast<std::size_t>(count) * sizeof(double));
#endif
}

// w[l] = exp(-0.25 distance[l] / threshold) for the first n lanes, eight at a
// time where the vectorised exp agrees with the library's. Lanes past n hold
// no neighbour: they get the harmless argument 0.
inline void weights_of(const double* distance, int n, double threshold, double* w) {
#if defined(__FMA__) || defined(__AVX512F__)
    static const bool vector_exp = exp_lanes_agree();
    if (vector_exp) {
        for (int first = 0; first < n; first += 8) {
            const int count = n - first < 8 ? n - first : 8;
            const exp_vector y = exp_lanes(-0.25 * load_first_doubles(distance + first, count) / threshold);
            store_first_doubles(w + first, y, count);
        }
        return;
    }
#endif
    for (int l = 0; l < n; ++l) w[l] = std::exp(-0.25 * distance[l] / threshold);
}

// The distances of the position that follows p (at x + following_step) where
// the group in the cache holds it too; nullptr otherwise.
inline const double* next_cached(const neighbourhood_task& task, const double* cached) {
    const kernel_scratch* const cache = task.cache;
    if (cached == nullptr || task.following < 1 || cache->step != task.following_step) return nullptr;
    const index_t index = (index_t{task.position[0]} - cache->first[0]) / cache->step;
    return index + 1 < cache->count ? cached + cache->per_position : nullptr;
}

// The weighted neighbourhood sums of Positions positions: the task's own and,
// with 2, the one following_step on along x, whose distances the cache holds
// (at next) and whose outputs are the task's next_*. Their patch updates go
// side by side, reading one widened copy; returns false, having written
// nothing, where two positions do not fit it.
template <int Width, int Positions>
bool sum_positions(const neighbourhood_task& task, const patch_walk& walk, const search_window& window,
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
    if (at[0] != nullptr && scratch->weights != nullptr && Positions * scratch->per_position <= scratch->weights_capacity) {
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
        // The reference patch itself counts with the largest neighbour weight.
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
void neighbourhood_sum(const neighbourhood_task& task) {
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
inline void neighbourhood_sum_any(const neighbourhood_task& task) {
    switch (task.patch_radius[0]) {
        case 1: neighbourhood_sum<3>(task); break;
        case 2: neighbourhood_sum<5>(task); break;
        case 3: neighbourhood_sum<7>(task); break;
        default: neighbourhood_sum<0>(task); break;
    }
}

}  // namespace px::PX_KERNEL_NAMESPACE
