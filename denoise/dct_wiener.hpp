#pragma once
// The second stage: an empirical Wiener filter in a sliding-window DCT.
//
// Each block of the noisy image and the same block of a pilot estimate (the
// first stage's result) are taken to the orthonormal separable DCT; each
// noisy coefficient is multiplied by P^2 / (P^2 + 1), P the pilot's
// coefficient (both images at unit noise variance), and the block is taken
// back. Overlapping blocks are averaged with a separable Kaiser window times
// 1 / sum(W^2), W the block's shrinkage factors. Channels are filtered apart.
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
#include "denoise/run_control.hpp"

namespace px {

// Shape parameter of the Kaiser window the blocks are averaged with.
constexpr double wiener_kaiser_beta = 2.0;

// Per axis, in the order x, y, z, t (channels are never spanned).
struct wiener_blocks {
    std::array<int, 4> size{1, 1, 1, 1};
    std::array<int, 4> step{1, 1, 1, 1};
    std::array<std::int64_t, 4> origin{0, 0, 0, 0};
};

// Throws std::invalid_argument unless 1 <= size <= the axis length and
// 1 <= step <= size along every axis, and origin >= 0.
void check_wiener_blocks(const extent& dims, const wiener_blocks& blocks);

// The filtered image as a new array; noisy and pilot (same dims) are only
// read. Runs on the OpenMP threads in force. With a control, counts its
// blocks in control->total and control->done, and throws run_stopped
// within a few blocks of control->stop being set.
array dct_wiener(const image_view& noisy, const image_view& pilot, const wiener_blocks& blocks,
                 run_control* control = nullptr);

}  // namespace px
