#pragma once
// A row of up to eight patch samples in the neighborhood kernel's patch
// update, and its one step: every lane becomes
// (float)((double)value + (double)sample * weight), the sample given as
// float or already widened to double.
// With AVX-512 the row is one float8, or a float4 for rows of up to four
// samples: a 512-bit operation takes the units of two 256-bit ones, and the
// conversions in this step are what bounds it. With narrower registers it is
// two halves of four: rounding to float and widening back then needs no
// shuffle between the halves, the full half of a row loads straight into the
// conversion, and a row of up to four samples leaves the high half alone.
// row_for<Width> is the row for patch rows of Width samples (0: any width),
// wide_row<Row> its samples widened to double.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cstring>
#include <type_traits>

#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

#if defined(__AVX512F__)

using row8 = float8;
using row4 = float4;

template <int Width>
using row_for = std::conditional_t<(Width > 0 && Width <= 4), row4, row8>;
template <class Row>
using wide_row = std::conditional_t<std::is_same_v<Row, row4>, double4, double8>;

template <class Row>
inline Row load_row(const float* p, int n) {
    if constexpr (std::is_same_v<Row, row4>)
        return reinterpret_cast<row4>(_mm_maskz_loadu_ps(static_cast<__mmask8>((1u << n) - 1u), p));
    else return load_first(p, n);
}
inline void store_row(float* p, row4 v, int n) {
    _mm_mask_storeu_ps(p, static_cast<__mmask8>((1u << n) - 1u), reinterpret_cast<__m128>(v));
}
inline void store_row(float* p, row8 v, int n) { store_first(p, v, n); }

inline row4 row_step(row4 value, row4 sample, double weight, int) {
    return __builtin_convertvector(
        __builtin_convertvector(value, double4) + __builtin_convertvector(sample, double4) * weight, float4);
}
inline row8 row_step(row8 value, row8 sample, double weight, int) {
    return narrow(widen(value) + widen(sample) * weight);
}
// The same step with the sample already widened. The addition goes through
// the multiply-add unit as product * 1 + value, which rounds once, as the
// addition does: the conversions, which share their units with the adders,
// then leave those to them.
inline row4 row_step_wide(row4 value, double4 sample, double weight, int) {
    const double4 product = sample * weight;
    // The 256-bit multiply-add of AVX-512 (all four lanes kept).
    const __m256d sum = _mm256_mask_fmadd_pd(reinterpret_cast<__m256d>(product), 0xf, _mm256_set1_pd(1.0),
                                             reinterpret_cast<__m256d>(__builtin_convertvector(value, double4)));
    return __builtin_convertvector(reinterpret_cast<double4>(sum), float4);
}
// The weight is one for all lanes (double) or one per lane (double8).
template <class Weight>
inline row8 row_step_wide(row8 value, double8 sample, Weight weight, int) {
    const double8 product = sample * weight;
    return narrow(reinterpret_cast<double8>(_mm512_fmadd_pd(reinterpret_cast<__m512d>(product), _mm512_set1_pd(1.0),
                                                            reinterpret_cast<__m512d>(widen(value)))));
}

#else

struct row8 {
    float4 lo, hi;
};

template <int>
using row_for = row8;
template <class>
using wide_row = double8;

// The first n (1 .. 4) lanes from p; nothing past p + n is read.
inline float4 load_first4(const float* p, int n) {
#if defined(__AVX2__)
    const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(n), _mm_setr_epi32(0, 1, 2, 3));
    return reinterpret_cast<float4>(_mm_maskload_ps(p, mask));
#else
    float4 v = {};
    std::memcpy(&v, p, static_cast<std::size_t>(n) * sizeof(float));
    return v;
#endif
}

// Stores the first n (1 .. 4) lanes of v at p; nothing past p + n is written.
inline void store_first4(float* p, float4 v, int n) {
#if defined(__AVX2__)
    const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(n), _mm_setr_epi32(0, 1, 2, 3));
    _mm_maskstore_ps(p, mask, reinterpret_cast<__m128>(v));
#else
    std::memcpy(p, &v, static_cast<std::size_t>(n) * sizeof(float));
#endif
}

// The first n (1 .. 8) lanes; the high half only when n > 4.
template <class Row>
inline row8 load_row(const float* p, int n) {
    row8 r{};
    r.lo = n >= 4 ? load<float4>(p) : load_first4(p, n);
    if (n > 4) r.hi = n == 8 ? load<float4>(p + 4) : load_first4(p + 4, n - 4);
    return r;
}

inline void store_row(float* p, row8 v, int n) {
    if (n >= 4) std::memcpy(p, &v.lo, sizeof v.lo);
    else store_first4(p, v.lo, n);
    if (n == 8) std::memcpy(p + 4, &v.hi, sizeof v.hi);
    else if (n > 4) store_first4(p + 4, v.hi, n - 4);
}

inline float4 half_step(float4 value, float4 sample, double weight) {
    return __builtin_convertvector(
        __builtin_convertvector(value, double4) + __builtin_convertvector(sample, double4) * weight, float4);
}

inline row8 row_step(row8 value, row8 sample, double weight, int n) {
    value.lo = half_step(value.lo, sample.lo, weight);
    if (n > 4) value.hi = half_step(value.hi, sample.hi, weight);
    return value;
}

// The weight is one for all lanes (double) or one per lane (double4).
template <class Weight>
inline float4 half_step_wide(float4 value, double4 sample, Weight weight) {
    return __builtin_convertvector(__builtin_convertvector(value, double4) + sample * weight, float4);
}

inline row8 row_step_wide(row8 value, double8 sample, double weight, int n) {
    value.lo = half_step_wide(value.lo, sample.lo, weight);
    if (n > 4) value.hi = half_step_wide(value.hi, sample.hi, weight);
    return value;
}

#endif

}  // namespace px::PX_KERNEL_NAMESPACE
