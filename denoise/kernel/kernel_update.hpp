#pragma once
// The patch update of the neighborhood kernel: the samples of a patch row
// are the lanes; every sample takes the neighbors' contributions in
// neighbor order, rounded to float after each, several rows (and positions)
// at a time to hide the latency of that chain; the weight sums go in step.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "denoise/kernel/kernel_walk.hpp"
#include "denoise/kernel/neighborhood_task.hpp"
#include "denoise/kernel/pair_lanes.hpp"
#include "denoise/kernel/row_lanes.hpp"
#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

// The two weight sums and the largest weight of one reference position,
// taken one neighbor after the other.
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
constexpr int max_rows_in_flight = Positions == 2                   ? 9
                                   : std::is_same_v<Sample, double> ? 12
                                                                    : 8;

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

// update_rows for two positions Apart samples apart with patch rows of
// five, their lanes packed (pair_lanes.hpp): Rows pair rows and their rests.
template <int Rows, int Apart>
inline void update_pair_rows(float* const* patch, const double* noisy, const index_t* rows, const index_t* ks,
                             index_t delta, const double* const* w, int n, int skip, weight_sums* sums) {
    static_assert(Apart == 1 || Apart == 3, "the interior grid's step at patch radius 2, or the edge passes'");
    constexpr int per_rest = rows_per_rest<Apart>;
    constexpr int rests = (Rows + per_rest - 1) / per_rest;
    // The rows of a rest; an odd last row of two-row rests takes both places.
    const auto row_a = [](int r) { return per_rest * r; };
    const auto row_b = [](int r) {
        return per_rest * r + per_rest - 1 < Rows ? per_rest * r + per_rest - 1 : per_rest * r;
    };
    pair_row value[Rows];
    rest_row rest[rests];
    for (int i = 0; i < Rows; ++i) value[i] = load_pair_row<Apart>(patch[0] + ks[i], patch[1] + ks[i]);
    for (int r = 0; r < rests; ++r) rest[r] = load_rest<Apart>(patch[1] + ks[row_a(r)], patch[1] + ks[row_b(r)]);
    weight_sums local[2] = {};
    if (sums != nullptr) local[0] = sums[0], local[1] = sums[1];
    for (int l = 0; l < n; ++l) {
        if (l == skip) continue;
        const double first = w[0][l];
        const double second = w[1][l];
        if (sums != nullptr) {
            local[0].add(first);
            local[1].add(second);
        }
        const pair_weights weight = pair_weights_of(first, second);
        const double* const at = noisy + delta + l;
        for (int i = 0; i < Rows; ++i) {
            double8 sample;
            std::memcpy(&sample, at + rows[i], sizeof sample);
            value[i] = pair_step(value[i], sample, weight);
        }
        for (int r = 0; r < rests; ++r)
            rest[r] = rest_step(rest[r], load_rest_samples<Apart>(at + rows[row_a(r)], at + rows[row_b(r)]), second);
    }
    if (sums != nullptr) sums[0] = local[0], sums[1] = local[1];
    // The pair rows first: without 512-bit registers their store writes a
    // sample of the rest too, which the rest's store then puts right.
    for (int i = 0; i < Rows; ++i) store_pair_row<Apart>(patch[0] + ks[i], patch[1] + ks[i], value[i]);
    for (int r = 0; r < rests; ++r) store_rest<Apart>(patch[1] + ks[row_a(r)], patch[1] + ks[row_b(r)], rest[r]);
}

template <int Rows, int Apart>
inline void update_pair_group(float* const* patch, const double* noisy, const index_t* rows, const index_t* ks,
                              int held, index_t delta, const double* const* w, int n, int skip, weight_sums* sums) {
    if constexpr (Rows > 0) {
        if (held == Rows) update_pair_rows<Rows, Apart>(patch, noisy, rows, ks, delta, w, n, skip, sums);
        else update_pair_group<Rows - 1, Apart>(patch, noisy, rows, ks, held, delta, w, n, skip, sums);
    }
}

// Calls group(rows, ks, held, sums) for the patch rows in groups of at most
// Most, of equal size (within one), so that no group is left with a row or
// two whose chains would wait on their own latency. The first group takes
// the sums.
template <int Most, class Group>
inline void in_row_groups(const patch_walk& walk, weight_sums* sums, Group&& group) {
    const index_t total = walk.row_count();
    const index_t groups = (total + Most - 1) / Most;
    const index_t larger = total % groups;  // groups of total / groups + 1 rows; the others one fewer
    index_t group_rows = total / groups + (larger > 0 ? 1 : 0);
    index_t rows[Most];
    index_t ks[Most];
    index_t done = 0;
    int held = 0;
    walk.rows([&](index_t row, index_t k) {
        rows[held] = row;
        ks[held] = k;
        if (++held == group_rows) {
            group(rows, ks, held, sums);
            sums = nullptr;
            held = 0;
            if (++done == larger) --group_rows;
        }
    });
}

// Rows in flight in the packed update of two positions: 10 pair rows and
// their rests of two rows are 15 chains; 8 pair rows and their rests of one
// row are 16.
template <int Apart>
constexpr int pair_rows_in_flight = rows_per_rest<Apart> == 2 ? 10 : 8;

template <int Apart>
inline void update_pair_patch(const patch_walk& walk, float* const* patch, const double* noisy, index_t delta,
                              const double* const* w, int n, int skip, weight_sums* sums) {
    constexpr int most = pair_rows_in_flight<Apart>;
    in_row_groups<most>(walk, sums, [&](const index_t* rows, const index_t* ks, int held, weight_sums* group_sums) {
        update_pair_group<most, Apart>(patch, noisy, rows, ks, held, delta, w, n, skip, group_sums);
    });
}

// Adds one batch of weighted neighbor patches into the patches, and the
// batch's weights into the sums, of Positions positions. walk's strides are
// those of noisy. Two positions at patch radius 2, 3 samples apart (the
// interior grid) or 1 (the edge passes), go packed (pair_lanes.hpp).
template <int Width, int Positions, class Sample>
inline void update_patch(const patch_walk& walk, float* const* patch, const Sample* noisy, index_t delta, index_t apart,
                         const double* const* w, int n, int skip, weight_sums* sums) {
    if constexpr (Width == 5 && Positions == 2 && std::is_same_v<Sample, double>) {
        if (apart == 3) return update_pair_patch<3>(walk, patch, noisy, delta, w, n, skip, sums);
        if (apart == 1) return update_pair_patch<1>(walk, patch, noisy, delta, w, n, skip, sums);
    }
    in_row_groups<max_rows_in_flight<Sample, Positions>>(
        walk, sums, [&](const index_t* rows, const index_t* ks, int held, weight_sums* group_sums) {
            update_group<Width, Sample, Positions>(walk, patch, noisy, rows, ks, held, delta, apart, w, n, skip,
                                                   group_sums);
        });
}

// The noisy samples that the neighbor patches of a position cover (a box:
// the window of neighbors widened by the patch radius, and by apart samples
// along x for a second position that far on, with the same window relative to
// it), converted to double once into scratch. Returns the walk over the copy
// (its strides) and sets reference to the copy of the position's own sample;
// false where the patch is wider than eight samples or the box does not fit.
template <int Width>
inline bool widen_noisy(const neighborhood_task& task, const search_window& window, index_t apart,
                        const double*& reference, patch_walk& wide) {
    if constexpr (Width == 0 || Width > 8) {
        return false;
    } else {
        const kernel_scratch* const scratch = task.cache;
        if (scratch == nullptr || scratch->widened == nullptr) return false;
        const std::int32_t* p = task.position;
        const std::int32_t* r = task.patch_radius;
        // Rows along x: every sample a patch row of any neighbor covers, and
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
        const index_t origin[4] = {window.lo[0] - r[0], window.lo[1] - r[1], window.lo[2] - r[2], window.lo[3] - r[3]};
        double* out = scratch->widened;
        for (index_t t = 0; t < extent[3]; ++t)
            for (index_t ch = 0; ch < task.channels; ++ch)
                for (index_t z = 0; z < extent[2]; ++z)
                    for (index_t y = 0; y < extent[1]; ++y) {
                        const float* in = task.noisy +
                                          image.offset(origin[0], origin[1] + y, origin[2] + z, origin[3] + t) +
                                          image.stride_c * ch;
                        for (index_t x = 0; x < valid; ++x) out[x] = in[x];
                        for (index_t x = valid; x < extent[0]; ++x) out[x] = 0.0;
                        out += extent[0];
                    }
        reference =
            scratch->widened + wide.offset(p[0] - origin[0], p[1] - origin[1], p[2] - origin[2], p[3] - origin[3]);
        return true;
    }
}

}  // namespace px::PX_KERNEL_NAMESPACE
