#pragma once
// The second stage: an empirical Wiener filter in a sliding-window DCT.
//
// Each block of the noisy image and the same block of a pilot estimate (the
// first stage's result) are taken to the orthonormal separable DCT; each
// noisy coefficient is multiplied by S / (S + 1), S = max(P^2 - floor, 0) and
// P the pilot's coefficient (both images at unit noise variance), and the
// block is taken back. The floor is the part of P^2 that the pilot's own
// error may hold: where the first stage kept noise (a patch without similar
// ones), its coefficients are of the order of the noise, and a filter that
// trusted them would pass the noise through in the shape of the block's
// cosines. With floor 0 the factor is P^2 / (P^2 + 1). Overlapping blocks
// are averaged with a separable Kaiser window times 1 / sum(W^2), W the
// block's shrinkage factors. Channels are filtered apart.
//
// Block positions along an axis are the multiples of the step in the
// coordinates of the whole image (origin gives the coordinate of this
// array's first sample) that overlap the axis; the image is extended by
// mirroring (sample -1 is sample 0), so with a step that divides the block
// every sample is covered by the same number of full blocks, and a sample's
// result depends only on the samples within block - 1 of it. Each sample sums
// its blocks in the same order whatever the thread count, so the result does
// not depend on it, and a part of an image computes the samples at least
// block - 1 away from its cut faces exactly as the whole image does.

#include <array>
#include <cstdint>

#include "core/array.hpp"
#include "core/image_view.hpp"
#include "denoise/engine/run_control.hpp"

namespace px {

// Shape parameter of the Kaiser window the blocks are averaged with (on the benchmark
// data, 0 and 4 each lose up to 0.2 dB on some of the datasets against 2).
constexpr double wiener_kaiser_beta = 2.0;

// The longest block along an axis, and the most samples in a block: far beyond any
// useful block, and small enough that a block's transforms and buffers stay small.
constexpr int max_wiener_block = 256;
constexpr std::int64_t max_wiener_volume = std::int64_t{1} << 20;

// Per axis, in the order x, y, z, t (channels are never spanned).
struct wiener_blocks {
    std::array<int, 4> size{1, 1, 1, 1};
    std::array<int, 4> step{1, 1, 1, 1};
    std::array<std::int64_t, 4> origin{0, 0, 0, 0};
    // Subtracted from every squared pilot coefficient (noise variances, >= 0).
    float floor = 0.0f;
};

// Throws std::invalid_argument unless 1 <= size <= the axis length (and
// max_wiener_block) and 1 <= step <= size along every axis, origin >= 0, the
// floor is finite and >= 0, the
// block holds at most max_wiener_volume samples, and no axis is within
// 2 * max_wiener_block of the int range.
void check_wiener_blocks(const extent& dims, const wiener_blocks& blocks);

// The filtered image as a new array; noisy and pilot (same dims) are only
// read. Runs on the OpenMP threads in force. With a control, counts its
// blocks in control->total and control->done, and throws run_stopped
// within a few blocks of control->stop being set.
array dct_wiener(const image_view& noisy, const image_view& pilot, const wiener_blocks& blocks,
                 run_control* control = nullptr);

}  // namespace px
