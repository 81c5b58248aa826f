#pragma once
// The lanes of the patch update for two reference positions Apart samples
// apart along x with patch rows of five samples (patch radius 2 on the
// interior grid, Apart 3, and on the edge passes, Apart 1): apart, each
// position's row would fill five of eight lanes. Packed:
// - the pair row: lanes 0-4 the first position's row, lanes 5 on the second
//   position's samples 5 - Apart to 4. Their neighbor samples are the eight
//   that follow the first position's row start: one load;
// - the rest: the second position's samples 0 to 4 - Apart, of two rows at
//   once where that is two samples (Apart 3), of one row where it is four
//   (Apart 1).
// Every lane still takes (float)((double)value + (double)sample * weight)
// with its own position's weight, so no result changes.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cstring>

#include "denoise/kernel/row_lanes.hpp"
#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

using rest_row = float4;
using pair_weights = double8;

// Rows whose rests share one vector.
template <int Apart>
constexpr int rows_per_rest = Apart == 3 ? 2 : 1;

#if defined(__AVX512F__)

using pair_row = float8;

// Lanes 0-4 from first, lanes 5 on from second + 5 - Apart.
template <int Apart>
inline pair_row load_pair_row(const float* first, const float* second) {
    const __m256 own = _mm256_maskz_loadu_ps(0x1f, first);
    const __m256 other = _mm256_maskz_loadu_ps(0x1f, second);
    const __m256i from = _mm256_setr_epi32(0, 0, 0, 0, 0, 5 - Apart, 6 - Apart, 7 - Apart);
    return reinterpret_cast<pair_row>(_mm256_mask_permutexvar_ps(own, ((1u << Apart) - 1u) << 5, from, other));
}

template <int Apart>
inline void store_pair_row(float* first, float* second, pair_row v) {
    const __m256 lanes = reinterpret_cast<__m256>(v);
    _mm256_mask_storeu_ps(first, 0x1f, lanes);
    const __m256i from = _mm256_setr_epi32(Apart, 1 + Apart, 2 + Apart, 3 + Apart, 4 + Apart, 0, 0, 0);
    _mm256_mask_storeu_ps(second, ((1u << Apart) - 1u) << (5 - Apart), _mm256_permutexvar_ps(from, lanes));
}

inline pair_weights pair_weights_of(double first, double second) {
    return reinterpret_cast<pair_weights>(_mm512_mask_blend_pd(0xe0, _mm512_set1_pd(first), _mm512_set1_pd(second)));
}

inline pair_row pair_step(pair_row value, double8 sample, pair_weights weight) {
    return row_step_wide(value, sample, weight, 8);
}

inline rest_row rest_step(rest_row value, double4 sample, double weight) {
    return row_step_wide(value, sample, weight, 4);
}

#else

// Two halves of four, as row8: lo the first position's samples 0-3, hi its
// sample 4 and the second's.
using pair_row = row8;

template <int Apart>
inline pair_row load_pair_row(const float* first, const float* second) {
    pair_row r;
    r.lo = load<float4>(first);
    r.hi =
        float4{first[4], second[5 - Apart], Apart > 1 ? second[6 - Apart] : 0.0f, Apart > 2 ? second[7 - Apart] : 0.0f};
    return r;
}

template <int Apart>
inline void store_pair_row(float* first, float* second, pair_row v) {
    std::memcpy(first, &v.lo, sizeof v.lo);
    first[4] = v.hi[0];
    for (int m = 0; m < Apart; ++m) second[5 - Apart + m] = v.hi[1 + m];
}

inline pair_weights pair_weights_of(double first, double second) {
    return {double4{first, first, first, first}, double4{first, second, second, second}};
}

inline pair_row pair_step(pair_row value, double8 sample, pair_weights weight) {
    value.lo = half_step_wide(value.lo, sample.lo, weight.lo);
    value.hi = half_step_wide(value.hi, sample.hi, weight.hi);
    return value;
}

inline rest_row rest_step(rest_row value, double4 sample, double weight) {
    return half_step_wide(value, sample, weight);
}

#endif

// The rest of rows a and b (the same row where a rest holds one), and back;
// two rows' rests are built from register halves, not in memory, which would
// stall the load on the stores.
using float2 = float __attribute__((vector_size(8)));
using double2 = double __attribute__((vector_size(16)));

template <int Apart>
inline rest_row load_rest(const float* a, const float* b) {
    if constexpr (rows_per_rest<Apart> == 2) {
        float2 low, high;
        std::memcpy(&low, a, sizeof low);
        std::memcpy(&high, b, sizeof high);
        return __builtin_shufflevector(low, high, 0, 1, 2, 3);
    } else {
        return load<float4>(a);
    }
}

template <int Apart>
inline void store_rest(float* a, float* b, rest_row v) {
    if constexpr (rows_per_rest<Apart> == 2) {
        const float2 low = __builtin_shufflevector(v, v, 0, 1);
        const float2 high = __builtin_shufflevector(v, v, 2, 3);
        std::memcpy(a, &low, sizeof low);
        std::memcpy(b, &high, sizeof high);
    } else {
        std::memcpy(a, &v, sizeof v);
    }
}

// The neighbor samples of a rest: a and b point at the first position's
// rows (its sample 0), the second position's sample 0 is Apart on.
template <int Apart>
inline double4 load_rest_samples(const double* a, const double* b) {
    if constexpr (rows_per_rest<Apart> == 2) {
        double2 low, high;
        std::memcpy(&low, a + Apart, sizeof low);
        std::memcpy(&high, b + Apart, sizeof high);
        return __builtin_shufflevector(low, high, 0, 1, 2, 3);
    } else {
        double4 v;
        std::memcpy(&v, a + Apart, sizeof v);
        return v;
    }
}

}  // namespace px::PX_KERNEL_NAMESPACE
