#pragma once
// Table of 2^(k/128), k = 0 .. 127, for the vectorised exp of the
// neighborhood kernels (see exp_lanes.hpp and tools/exp_table.py).

#include <cstdint>

namespace px {

extern const std::uint64_t exp_table[256];

}  // namespace px
