#include "denoise/wiener/block_transform.hpp"

#include <cstring>

namespace px {

namespace {

// out[o][k][i] = sum_j m[k][j] * in[o][j][i] for an axis of length n between
// `outer` slower and `inner` faster samples. Each sum runs over j in order; the
// vectorised loops run across independent sums (i, or k when inner is 1), so
// every instruction set gives the same bits. N > 0 fixes n at compile time.
template <int N>
void along(const float* __restrict__ in, float* __restrict__ out, int outer, int length, int inner,
           const float* __restrict__ m, const float* __restrict__ m_t) {
    const int n = N > 0 ? N : length;
    if (inner == 1) {
        for (int o = 0; o < outer; ++o) {
            const float* src = in + o * n;
            float* dst = out + o * n;
            for (int k = 0; k < n; ++k) dst[k] = 0.0f;
            for (int j = 0; j < n; ++j) {
                const float v = src[j];
                const float* row = m_t + j * n;  // m[k][j] for every k
                for (int k = 0; k < n; ++k) dst[k] += v * row[k];
            }
        }
        return;
    }
    for (int o = 0; o < outer; ++o) {
        const float* src = in + o * n * inner;
        float* dst = out + o * n * inner;
        for (int k = 0; k < n; ++k) {
            float* line = dst + k * inner;
            for (int i = 0; i < inner; ++i) line[i] = 0.0f;
            for (int j = 0; j < n; ++j) {
                const float c = m[k * n + j];
                const float* from = src + j * inner;
                for (int i = 0; i < inner; ++i) line[i] += c * from[i];
            }
        }
    }
}

__attribute__((target_clones("avx2", "default"))) void along_any(const float* in, float* out, int outer, int n,
                                                                 int inner, const float* m, const float* m_t) {
    switch (n) {
        case 4: along<4>(in, out, outer, n, inner, m, m_t); return;
        case 6: along<6>(in, out, outer, n, inner, m, m_t); return;
        case 8: along<8>(in, out, outer, n, inner, m, m_t); return;
        case 12: along<12>(in, out, outer, n, inner, m, m_t); return;
        case 16: along<16>(in, out, outer, n, inner, m, m_t); return;
        default: along<0>(in, out, outer, n, inner, m, m_t); return;
    }
}

}  // namespace

void block_transform::apply(float* data, float* scratch) const {
    float* from = data;
    float* to = scratch;
    int inner = 1;
    const int total = volume();
    for (int a = 0; a < 4; ++a) {
        const int n = shape[a];
        if (n > 1) {
            along_any(from, to, total / (inner * n), n, inner, matrix[a], matrix_t[a]);
            float* swap = from;
            from = to;
            to = swap;
        }
        inner *= n;
    }
    if (from != data) std::memcpy(data, from, sizeof(float) * static_cast<unsigned>(total));
}

}  // namespace px
