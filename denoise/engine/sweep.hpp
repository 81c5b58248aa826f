#pragma once
// One pass over the reference positions of a grid: per position the
// neighborhood's weighted patch sum, then its test and scatter into the
// accumulators, in one parallel region.

#include "core/array.hpp"
#include "denoise/engine/reference_grid.hpp"
#include "denoise/engine/vorel.hpp"

namespace px {

void sweep(const vorel& engine, const reference_grid& grid, const extent& patch_size, const image_view& image,
           float sigma, const extent& radius, const work_arrays& work);

}  // namespace px
