#pragma once
// The engine's geometry, apart from any sample: the search radius of each
// iteration, the spacing of the interior reference grid, and how far the
// result at a sample depends on the image. The engine runs by them, and the
// package cuts images into parts by them.

#include <cstdint>

#include "core/extent.hpp"

namespace px {

// Search radius of iteration i (from 0): doubling along x and y, growing by
// one along z, and along t by one from the third iteration on; 0 on an axis
// of one sample or one the search does not extend along (axes.* == 0).
// Capped at the axis length, beyond which a larger radius finds no further
// neighbor.
extent search_radius(int i, const extent& dims, const extent& axes);

// Interior grid spacing for the patch radius r: one reference position per
// patch cell along x and y, along z only for stacks deep enough, and every
// r.t frames along t.
extent grid_step(const extent& r, const extent& dims);

// After `iterations` iterations, the distance from a cut face within which a
// part of an image can be denoised differently from the whole image: per
// iteration 2r + max(R, 1) along an axis of patch radius r > 0 (a reference
// patch within r, its neighbors within R, their patches within r again, and
// the part's own edge pass within 2r + 1), R along an axis of radius 0.
extent reach(const extent& patch_radius, const extent& dims, const extent& axes, int iterations);

}  // namespace px
