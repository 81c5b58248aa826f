#pragma once
// exp of eight doubles at once, giving the C library's bits: the same table
// driven reduction x = k ln2 / 128 + r and the same polynomial in r, with
// the multiply-adds that the library's FMA build fuses fused here too. Lanes
// outside the polynomial's range (|x| >= 512, NaN) take the scalar exp.
// Whether the bits really agree on this machine is checked once, against
// std::exp (exp_lanes_agree); where they do not, the kernel calls std::exp.
// Included by the kernel translation units (see simd_lanes.hpp).

#include <cmath>
#include <cstdint>
#include <cstring>

#include "denoise/kernel/exp_table.hpp"
#include "denoise/kernel/simd_lanes.hpp"

namespace px::PX_KERNEL_NAMESPACE {

// Eight doubles in one generic vector (in memory where registers are narrower).
using exp_vector = double __attribute__((vector_size(64)));
using uint8x64 = std::uint64_t __attribute__((vector_size(64)));

// a * b + c rounded once.
inline exp_vector fused_multiply_add(exp_vector a, exp_vector b, exp_vector c) {
#if defined(__AVX512F__)
    return reinterpret_cast<exp_vector>(
        _mm512_fmadd_pd(reinterpret_cast<__m512d>(a), reinterpret_cast<__m512d>(b), reinterpret_cast<__m512d>(c)));
#elif defined(__FMA__)
    __m256d part[3][2];
    std::memcpy(part[0], &a, sizeof a);
    std::memcpy(part[1], &b, sizeof b);
    std::memcpy(part[2], &c, sizeof c);
    const __m256d out[2] = {_mm256_fmadd_pd(part[0][0], part[1][0], part[2][0]),
                            _mm256_fmadd_pd(part[0][1], part[1][1], part[2][1])};
    exp_vector result;
    std::memcpy(&result, out, sizeof result);
    return result;
#else
    exp_vector result;
    for (int l = 0; l < 8; ++l) result[l] = std::fma(a[l], b[l], c[l]);
    return result;
#endif
}

inline exp_vector exp_lanes(exp_vector x) {
    constexpr double inv_ln2_n = 0x1.71547652b82fep0 * 128;
    constexpr double neg_ln2_hi_n = -0x1.62e42fefa0000p-8;
    constexpr double neg_ln2_lo_n = -0x1.cf79abc9e3b3ap-47;
    constexpr double shift = 0x1.8p52;  // adding it rounds to an integer kept in the low bits
    constexpr double c2 = 0x1.ffffffffffdbdp-2, c3 = 0x1.555555555543cp-3;
    constexpr double c4 = 0x1.55555cf172b91p-5, c5 = 0x1.1111167a4d017p-7;
    const auto splat = [](double v) { return exp_vector{} + v; };

    const uint8x64 bits = reinterpret_cast<uint8x64>(x);
    // Exponent field of |x|: the polynomial covers 2^-54 <= |x| < 512.
    const uint8x64 top = (bits >> 52) & 0x7ff;
    const auto outside = (top - 0x3c9) >= (0x408 - 0x3c9);

    exp_vector kd = fused_multiply_add(splat(inv_ln2_n), x, splat(shift));
    const uint8x64 ki = reinterpret_cast<uint8x64>(kd);
    kd -= shift;
    const exp_vector r = fused_multiply_add(kd, splat(neg_ln2_lo_n), fused_multiply_add(kd, splat(neg_ln2_hi_n), x));
    exp_vector tail;
    uint8x64 scale_bits;
    for (int l = 0; l < 8; ++l) {
        const std::uint64_t i = 2 * (ki[l] % 128);
        std::memcpy(&tail[l], &exp_table[i], sizeof(double));
        scale_bits[l] = exp_table[i + 1] + (ki[l] << 45);
    }
    const exp_vector r2 = r * r;
    const exp_vector low = fused_multiply_add(r2, fused_multiply_add(r, splat(c3), splat(c2)), tail + r);
    const exp_vector tmp = fused_multiply_add(r2 * r2, fused_multiply_add(r, splat(c5), splat(c4)), low);
    const exp_vector scale = reinterpret_cast<exp_vector>(scale_bits);
    exp_vector y = fused_multiply_add(scale, tmp, scale);
    bool any_outside = false;
    for (int l = 0; l < 8; ++l) any_outside |= outside[l] != 0;
    if (any_outside) {
        for (int l = 0; l < 8; ++l) {
            if (outside[l] == 0) continue;
            // Below 2^-54 exp(x) rounds to 1 + x; the rest is rare: the library's own exp.
            y[l] = top[l] < 0x3c9 ? 1.0 + x[l] : std::exp(x[l]);
        }
    }
    return y;
}

// Whether exp_lanes gives std::exp's bits, on arguments spread over the
// range the kernel meets (weights exp(-d) with d from 0 to beyond 700).
inline bool exp_lanes_agree() {
    std::uint64_t state = 0x9e3779b97f4a7c15u;
    for (int round = 0; round < 512; ++round) {
        exp_vector x;
        for (int l = 0; l < 8; ++l) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            const double unit = static_cast<double>(state >> 11) * 0x1p-53;
            // Half of the arguments uniform in [-760, 0), half log-spread in [-2^-60, -2^8).
            x[l] = l % 2 == 0 ? -760.0 * unit : -std::exp2(68.0 * unit - 60.0);
        }
        if (round == 0) {
            x[0] = 0.0;
            x[1] = -0.0;
        }
        const exp_vector y = exp_lanes(x);
        for (int l = 0; l < 8; ++l) {
            const double expected = std::exp(x[l]);
            if (std::memcmp(&y[l], &expected, sizeof expected) != 0) return false;
        }
    }
    return true;
}

}  // namespace px::PX_KERNEL_NAMESPACE
