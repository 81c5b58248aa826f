#pragma once
// Fixed-width float and double vectors (GCC vector extensions) with loads and
// stores of the first n lanes. Included only by the kernel translation units,
// each compiled for one instruction set and defining PX_KERNEL_NAMESPACE, so
// that no inline function is shared between differently compiled objects.
// Element-wise arithmetic on these vectors rounds exactly as scalar code does
// (no contraction under -ffp-contract=off); lanes that are not loaded hold 0.

#ifndef PX_KERNEL_NAMESPACE
#error "define PX_KERNEL_NAMESPACE before including this header"
#endif

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include <cstdint>
#include <cstring>

namespace px::PX_KERNEL_NAMESPACE {

using float4 = float __attribute__((vector_size(16)));
using float8 = float __attribute__((vector_size(32)));
using double4 = double __attribute__((vector_size(32)));

#if defined(__AVX512F__)
using float16 = float __attribute__((vector_size(64)));
using double8 = double __attribute__((vector_size(64)));
#else
// Without 512-bit registers a 64-byte generic vector lives in memory, and
// every operation on it goes through the stack (a scalar broadcast into it
// even stalls on a failed store forward). So 16 floats and 8 doubles are two
// register-sized halves here, with the element-wise operations the kernel uses.
struct float16 {
    float8 lo, hi;
};
struct double8 {
    double4 lo, hi;
    double8& operator+=(const double8& b) {
        lo += b.lo;
        hi += b.hi;
        return *this;
    }
};

inline float16 operator+(float a, float16 b) { return {a + b.lo, a + b.hi}; }
inline float16 operator-(float a, float16 b) { return {a - b.lo, a - b.hi}; }
inline float16 operator*(float a, float16 b) { return {a * b.lo, a * b.hi}; }
inline float16 operator*(float16 a, float16 b) { return {a.lo * b.lo, a.hi * b.hi}; }
inline float16 operator/(float16 a, float16 b) { return {a.lo / b.lo, a.hi / b.hi}; }
inline double8 operator+(double8 a, double8 b) { return {a.lo + b.lo, a.hi + b.hi}; }
inline double8 operator*(double8 a, double b) { return {a.lo * b, a.hi * b}; }
#endif

template <class V>
inline V load(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The first n (1 .. 8) lanes from p; nothing past p + n is read.
inline float8 load_first(const float* p, int n) {
#if defined(__AVX512F__) && defined(__AVX512VL__)
    return reinterpret_cast<float8>(_mm256_maskz_loadu_ps(static_cast<__mmask8>((1u << n) - 1u), p));
#elif defined(__AVX2__)
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    return reinterpret_cast<float8>(_mm256_maskload_ps(p, mask));
#else
    float8 v = {};
    std::memcpy(&v, p, static_cast<std::size_t>(n) * sizeof(float));
    return v;
#endif
}

// The first n (1 .. 16) lanes from p.
inline float16 load_first16(const float* p, int n) {
#if defined(__AVX512F__)
    return reinterpret_cast<float16>(_mm512_maskz_loadu_ps(static_cast<__mmask16>((1u << n) - 1u), p));
#else
    const float8 low = n >= 8 ? load<float8>(p) : load_first(p, n);
    const float8 high = n > 8 ? load_first(p + 8, n - 8) : float8{};
    return {low, high};
#endif
}

// Stores the first n (1 .. 8) lanes of v at p; nothing past p + n is written.
inline void store_first(float* p, float8 v, int n) {
#if defined(__AVX512F__) && defined(__AVX512VL__)
    _mm256_mask_storeu_ps(p, static_cast<__mmask8>((1u << n) - 1u), reinterpret_cast<__m256>(v));
#elif defined(__AVX2__)
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(n), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    _mm256_maskstore_ps(p, mask, reinterpret_cast<__m256>(v));
#else
    std::memcpy(p, &v, static_cast<std::size_t>(n) * sizeof(float));
#endif
}

// Loads of a lane count known at compile time (8 or 16), all lanes or the
// first n.
template <int Lanes, bool Full>
inline auto load_lanes(const float* p, int n) {
    if constexpr (Lanes == 8) {
        if constexpr (Full) return load<float8>(p);
        else return load_first(p, n);
    } else {
        if constexpr (Full) return load<float16>(p);
        else return load_first16(p, n);
    }
}

#if defined(__AVX512F__)
inline double8 widen(float8 v) { return __builtin_convertvector(v, double8); }
inline float8 narrow(double8 v) { return __builtin_convertvector(v, float8); }
inline float8 low_half(float16 v) { return __builtin_shufflevector(v, v, 0, 1, 2, 3, 4, 5, 6, 7); }
inline float8 high_half(float16 v) { return __builtin_shufflevector(v, v, 8, 9, 10, 11, 12, 13, 14, 15); }
#else
inline double8 widen(float8 v) {
    return {__builtin_convertvector(__builtin_shufflevector(v, v, 0, 1, 2, 3), double4),
            __builtin_convertvector(__builtin_shufflevector(v, v, 4, 5, 6, 7), double4)};
}
inline float8 narrow(double8 v) {
    const float4 lo = __builtin_convertvector(v.lo, float4);
    const float4 hi = __builtin_convertvector(v.hi, float4);
    return __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7);
}
inline float8 low_half(float16 v) { return v.lo; }
inline float8 high_half(float16 v) { return v.hi; }
#endif

}  // namespace px::PX_KERNEL_NAMESPACE
