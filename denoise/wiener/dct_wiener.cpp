#include "denoise/wiener/dct_wiener.hpp"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "denoise/wiener/block_transform.hpp"
#include "denoise/wiener/dct_basis.hpp"

namespace px {

namespace {

// The smallest sum of squared shrinkage factors a block's weight divides by: a
// block whose pilot is all but zero keeps a large but finite weight.
constexpr float least_weight_sum = 1e-3f;

// Blocks between two looks at the stop request.
constexpr int blocks_per_check = 64;

// Block positions along one axis: starts first, first + step, ... (count of
// them), and for every position from first to the last block's end the
// sample it reads after mirroring.
struct axis_blocks {
    int length = 1;
    int size = 1;
    int step = 1;
    int first = 0;
    int count = 1;
    std::int64_t stride = 0;
    std::vector<std::int64_t> offset;  // mirrored sample times stride, from position `first` on

    axis_blocks(int n, int block, int stride_step, std::int64_t origin, std::int64_t sample_stride)
        : length(n), size(block), step(stride_step), stride(sample_stride) {
        // The first multiple of the step (in whole-image coordinates) whose block reaches sample 0.
        const std::int64_t lowest = origin - (block - 1);
        const std::int64_t rest = (lowest % step + step) % step;
        const std::int64_t aligned = rest == 0 ? lowest : lowest + (step - rest);
        first = static_cast<int>(aligned - origin);
        count = (n - 1 - first) / step + 1;
        const int span = (count - 1) * step + block;
        offset.resize(static_cast<std::size_t>(span));
        for (int i = 0; i < span; ++i) {
            int p = first + i;
            if (p < 0) p = -p - 1;
            if (p >= n) p = 2 * n - 1 - p;
            offset[static_cast<std::size_t>(i)] = std::int64_t{p} * stride;
        }
    }

    int start(int k) const { return first + k * step; }
    // Indices k of the blocks that overlap samples [lo, hi).
    int first_over(int lo) const { return std::max(0, ceil_div(lo - size + 1 - first, step)); }
    int end_over(int hi) const { return std::min(count, ceil_div(hi - first, step)); }

    static int ceil_div(int a, int b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); }
};

// One piece of work: a channel, and a slab [lo, hi) of samples along the split axis.
struct unit {
    int channel;
    int lo;
    int hi;
    std::int64_t blocks;
};

// One thread's buffers of a block's samples or coefficients.
struct block_buffers {
    float* noisy;
    float* pilot;
    float* scratch;
    float* factor;
    int volume;
};

// Filters the block at block indices k (x, y, z, t) of one channel into work.noisy and
// returns its aggregation weight 1 / sum(W^2).
float filter_block(const float* noisy, const float* pilot, const std::vector<axis_blocks>& axes,
                   const std::array<int, 4>& k, const block_transform& forward, const block_transform& inverse,
                   float floor, const block_buffers& work) {
    const axis_blocks &ax = axes[0], &ay = axes[1], &az = axes[2], &at = axes[3];
    const std::int64_t* ot = at.offset.data() + std::int64_t{k[3]} * at.step;
    const std::int64_t* oz = az.offset.data() + std::int64_t{k[2]} * az.step;
    const std::int64_t* oy = ay.offset.data() + std::int64_t{k[1]} * ay.step;
    const std::int64_t* ox = ax.offset.data() + std::int64_t{k[0]} * ax.step;
    // Gather both blocks, mirrored where they leave the image.
    int q = 0;
    for (int t = 0; t < at.size; ++t)
        for (int z = 0; z < az.size; ++z)
            for (int y = 0; y < ay.size; ++y) {
                const std::int64_t row = ot[t] + oz[z] + oy[y];
                const float* n_row = noisy + row;
                const float* p_row = pilot + row;
                for (int x = 0; x < ax.size; ++x) {
                    work.noisy[q + x] = n_row[ox[x]];
                    work.pilot[q + x] = p_row[ox[x]];
                }
                q += ax.size;
            }
    forward.apply(work.noisy, work.scratch);
    forward.apply(work.pilot, work.scratch);
    for (int i = 0; i < work.volume; ++i) {
        const float p2 = std::max(work.pilot[i] * work.pilot[i] - floor, 0.0f);
        work.factor[i] = p2 / (p2 + 1.0f);
    }
    float sum = 0.0f;
    for (int i = 0; i < work.volume; ++i) {
        work.noisy[i] *= work.factor[i];
        sum += work.factor[i] * work.factor[i];
    }
    inverse.apply(work.noisy, work.scratch);
    return 1.0f / std::max(sum, least_weight_sum);
}

// Adds a filtered block, windowed and weighted, to the sums num and den of one channel
// wherever it lies within [out_lo, out_hi) along every axis.
void add_block(const float* block, float weight, const std::vector<float>& window, const std::vector<axis_blocks>& axes,
               const std::array<int, 4>& k, const std::array<int, 4>& out_lo, const std::array<int, 4>& out_hi,
               float* num, float* den) {
    std::array<int, 4> first{}, last{}, start{};
    for (int a = 0; a < 4; ++a) {
        start[a] = axes[a].start(k[a]);
        first[a] = std::max(0, out_lo[a] - start[a]);
        last[a] = std::min(axes[a].size, out_hi[a] - start[a]);
    }
    const int bx = axes[0].size, by = axes[1].size, bz = axes[2].size;
    for (int t = first[3]; t < last[3]; ++t)
        for (int z = first[2]; z < last[2]; ++z)
            for (int y = first[1]; y < last[1]; ++y) {
                const int b = ((t * bz + z) * by + y) * bx;
                const std::int64_t row = (start[3] + t) * axes[3].stride + (start[2] + z) * axes[2].stride +
                                         (start[1] + y) * axes[1].stride + start[0];
                float* n_out = num + row;
                float* d_out = den + row;
                for (int x = first[0]; x < last[0]; ++x) {
                    const float w = window[static_cast<std::size_t>(b + x)] * weight;
                    n_out[x] += w * block[b + x];
                    d_out[x] += w;
                }
            }
}

}  // namespace

void check_wiener_blocks(const extent& dims, const wiener_blocks& blocks) {
    const std::array<int, 4> lengths{dims.x, dims.y, dims.z, dims.t};
    const char* names[4] = {"x", "y", "z", "t"};
    std::int64_t volume = 1;
    for (int a = 0; a < 4; ++a) {
        if (blocks.size[a] > max_wiener_block) {
            throw std::invalid_argument("a block holds at most " + std::to_string(max_wiener_block) +
                                        " samples along an axis, not " + std::to_string(blocks.size[a]));
        }
        if (lengths[a] > std::numeric_limits<int>::max() - 2 * max_wiener_block) {
            throw std::invalid_argument("an axis of " + std::to_string(lengths[a]) +
                                        " samples is too long for the DCT Wiener filter");
        }
        volume *= std::max(1, blocks.size[a]);
    }
    if (volume > max_wiener_volume) {
        throw std::invalid_argument("a block holds at most " + std::to_string(max_wiener_volume) + " samples, not " +
                                    std::to_string(volume));
    }
    if (!(blocks.floor >= 0.0f) || !std::isfinite(blocks.floor)) {
        throw std::invalid_argument("the pilot's floor must be finite and >= 0, not " + std::to_string(blocks.floor));
    }
    for (int a = 0; a < 4; ++a) {
        const int size = blocks.size[a];
        const int step = blocks.step[a];
        const std::string axis = names[a];
        if (size < 1 || size > lengths[a]) {
            throw std::invalid_argument("the block along " + axis + " must hold 1 to " + std::to_string(lengths[a]) +
                                        " samples (the axis length), not " + std::to_string(size));
        }
        if (step < 1 || step > size) {
            throw std::invalid_argument("the step along " + axis + " must be between 1 and the block (" +
                                        std::to_string(size) + "), not " + std::to_string(step));
        }
        if (blocks.origin[a] < 0) throw std::invalid_argument("the origin along " + axis + " cannot be negative");
    }
}

array dct_wiener(const image_view& noisy, const image_view& pilot, const wiener_blocks& blocks, run_control* control) {
    const extent dims = noisy.dims;
    if (noisy.empty() || pilot.dims.x != dims.x || pilot.dims.y != dims.y || pilot.dims.z != dims.z ||
        pilot.dims.c != dims.c || pilot.dims.t != dims.t) {
        throw std::invalid_argument("the noisy image and the pilot must be non-empty and of the same shape");
    }
    check_wiener_blocks(dims, blocks);
    const std::int64_t plane = std::int64_t{dims.x} * dims.y * dims.z;
    const std::array<std::int64_t, 4> strides{1, dims.x, std::int64_t{dims.x} * dims.y, plane * dims.c};
    const std::array<int, 4> lengths{dims.x, dims.y, dims.z, dims.t};
    std::vector<axis_blocks> axes;
    for (int a = 0; a < 4; ++a) {
        axes.emplace_back(lengths[a], blocks.size[a], blocks.step[a], blocks.origin[a], strides[a]);
    }

    // Forward and inverse DCT per axis, and the separable Kaiser window of a block.
    std::array<std::vector<float>, 4> basis, basis_t;
    block_transform forward, inverse;
    for (int a = 0; a < 4; ++a) {
        basis[a] = dct_matrix(blocks.size[a]);
        basis_t[a] = transposed(basis[a], blocks.size[a]);
        forward.shape[a] = inverse.shape[a] = blocks.size[a];
        forward.matrix[a] = inverse.matrix_t[a] = basis[a].data();
        forward.matrix_t[a] = inverse.matrix[a] = basis_t[a].data();
    }
    const int volume = forward.volume();
    std::vector<float> window(static_cast<std::size_t>(volume));
    {
        std::array<std::vector<float>, 4> w;
        for (int a = 0; a < 4; ++a) w[a] = kaiser_window(blocks.size[a], wiener_kaiser_beta);
        std::size_t q = 0;
        for (int t = 0; t < blocks.size[3]; ++t)
            for (int z = 0; z < blocks.size[2]; ++z)
                for (int y = 0; y < blocks.size[1]; ++y)
                    for (int x = 0; x < blocks.size[0]; ++x, ++q) window[q] = w[3][t] * w[2][z] * w[1][y] * w[0][x];
    }

    // Work units: per channel, slabs along the axis with the most block positions. A
    // unit adds only to its own slab, so units never share an output sample.
    int split = 0;
    for (int a = 1; a < 4; ++a) {
        if (axes[a].count > axes[split].count) split = a;
    }
    const int threads = std::max(1, omp_get_max_threads());
    const int slabs = std::max(1, std::min(threads, lengths[split] / std::max(1, blocks.size[split])));
    std::vector<unit> units;
    std::int64_t blocks_elsewhere = 1;
    for (int a = 0; a < 4; ++a) {
        if (a != split) blocks_elsewhere *= axes[a].count;
    }
    for (int c = 0; c < dims.c; ++c) {
        for (int s = 0; s < slabs; ++s) {
            const int lo = static_cast<int>(std::int64_t{lengths[split]} * s / slabs);
            const int hi = static_cast<int>(std::int64_t{lengths[split]} * (s + 1) / slabs);
            const std::int64_t along = axes[split].end_over(hi) - axes[split].first_over(lo);
            units.push_back({c, lo, hi, along * blocks_elsewhere});
        }
    }
    if (control != nullptr) {
        std::int64_t total = 0;
        for (const unit& u : units) total += u.blocks;
        control->total = total;
        if (control->stop.load()) throw run_stopped();
    }

    array result(dims, 0.0f);
    large_vector<float> weights(static_cast<std::size_t>(dims.size()), 0.0f);
    float* num = result.values.data();
    float* den = weights.data();
    const std::size_t per_thread = 4 * static_cast<std::size_t>(volume);
    std::vector<float> buffers(per_thread * static_cast<std::size_t>(threads));
    bool stopped = false;

#pragma omp parallel for schedule(dynamic, 1) num_threads(threads)
    for (std::size_t ui = 0; ui < units.size(); ++ui) {
        const unit& u = units[ui];
        float* buffer = buffers.data() + per_thread * static_cast<std::size_t>(omp_get_thread_num());
        const block_buffers work{buffer, buffer + volume, buffer + 2 * volume, buffer + 3 * volume, volume};
        const std::int64_t channel = std::int64_t{u.channel} * plane;
        // Block index ranges along each axis, and the output range [lo, hi) along each axis.
        std::array<int, 4> k_lo{}, k_hi{}, out_lo{}, out_hi{};
        for (int a = 0; a < 4; ++a) {
            out_lo[a] = a == split ? u.lo : 0;
            out_hi[a] = a == split ? u.hi : lengths[a];
            k_lo[a] = axes[a].first_over(out_lo[a]);
            k_hi[a] = axes[a].end_over(out_hi[a]);
        }
        std::array<int, 4> k{};
        std::int64_t unreported = 0;
        bool asked_to_stop = false;
        for (k[3] = k_lo[3]; k[3] < k_hi[3] && !asked_to_stop; ++k[3])
            for (k[2] = k_lo[2]; k[2] < k_hi[2] && !asked_to_stop; ++k[2])
                for (k[1] = k_lo[1]; k[1] < k_hi[1] && !asked_to_stop; ++k[1])
                    for (k[0] = k_lo[0]; k[0] < k_hi[0]; ++k[0]) {
                        if (control != nullptr && unreported == blocks_per_check) {
                            control->done.fetch_add(unreported, std::memory_order_relaxed);
                            unreported = 0;
                            asked_to_stop = control->stop.load(std::memory_order_relaxed);
                            if (asked_to_stop) break;
                        }
                        const float weight = filter_block(noisy.values + channel, pilot.values + channel, axes, k,
                                                          forward, inverse, blocks.floor, work);
                        add_block(work.noisy, weight, window, axes, k, out_lo, out_hi, num + channel, den + channel);
                        ++unreported;
                    }
        if (control != nullptr) {
            control->done.fetch_add(unreported, std::memory_order_relaxed);
            if (control->stop.load()) {
#pragma omp atomic write
                stopped = true;
            }
        }
    }
    if (stopped) throw run_stopped();
    const auto samples = static_cast<std::int64_t>(result.values.size());
#pragma omp parallel for schedule(static) num_threads(threads)
    for (std::int64_t i = 0; i < samples; ++i) num[i] /= den[i];
    return result;
}

}  // namespace px
