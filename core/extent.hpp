#pragma once
// Five per-axis sizes (or other per-axis integers) in the fixed order
// x (fastest in memory), y, z, c (channel), t (time, slowest).

#include <cstdint>

namespace px {

struct extent {
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t z = 0;
    std::int32_t c = 0;
    std::int32_t t = 0;

    // Product of the five sizes; each factor is widened before multiplying so
    // that the total may exceed 2^31.
    std::int64_t size() const {
        return std::int64_t{x} * std::int64_t{y} * std::int64_t{z} * std::int64_t{c} * std::int64_t{t};
    }

    // "x x y x z x c x t" in one process-wide buffer that every call overwrites.
    const char* to_str() const;
};

}  // namespace px
