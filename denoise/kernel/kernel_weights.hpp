#pragma once
// The weights of the neighborhood kernel, exp(-0.25 distance / threshold),
// eight lanes at a time with the library's bits where the vectorised exp
// agrees with it.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cmath>
#include <cstdint>
#include <cstring>

#include "denoise/kernel/exp_lanes.hpp"
#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

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
// no neighbor: they get the harmless argument 0.
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

}  // namespace px::PX_KERNEL_NAMESPACE
