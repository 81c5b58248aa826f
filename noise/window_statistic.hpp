#pragma once
// The local noise measurement of estimate: median intensity and robust noise
// variance inside the window of one anchor of the sampling grid.

#include <cstdint>
#include <vector>

#include "core/array.hpp"
#include "noise/variance_fit.hpp"

namespace px {

// A grid point of the sampling grid (multiples of the block size).
struct anchor_position {
    std::int64_t x;
    std::int64_t y;
    std::int64_t z;
    std::int64_t t;
};

// Scratch lists of one thread, reused from window to window.
struct window_lists {
    std::vector<double> intensities;
    std::vector<double> residuals;
};

// Gathers channel c of image and residuals inside the anchor's window (x from
// anchor.x - block + 1 to anchor.x + block, the other axes from anchor - block
// to anchor + block, clipped to the image) into lists, t outermost and x
// innermost, and measures it. False when the window holds fewer than 3
// samples. Throws std::bad_alloc when the lists cannot grow.
bool measure_window(const array& image, const array& residuals, std::int32_t c, const anchor_position& anchor,
                    std::int64_t block, window_lists& lists, block_statistic& result);

}  // namespace px
