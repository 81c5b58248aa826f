#include "denoise/wiener/dct_basis.hpp"

#include <cmath>
#include <cstddef>

namespace px {

std::vector<float> dct_matrix(int n) {
    const double pi = std::acos(-1.0);
    std::vector<float> d(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
        const double scale = std::sqrt((k == 0 ? 1.0 : 2.0) / n);
        for (int j = 0; j < n; ++j) {
            d[static_cast<std::size_t>(k) * n + j] =
                static_cast<float>(scale * std::cos(pi * (2.0 * j + 1.0) * k / (2.0 * n)));
        }
    }
    return d;
}

std::vector<float> transposed(const std::vector<float>& matrix, int n) {
    std::vector<float> t(matrix.size());
    for (int r = 0; r < n; ++r) {
        for (int c = 0; c < n; ++c)
            t[static_cast<std::size_t>(c) * n + r] = matrix[static_cast<std::size_t>(r) * n + c];
    }
    return t;
}

namespace {

// The modified Bessel function of the first kind and order 0, by its power series.
double bessel_i0(double x) {
    double sum = 1.0;
    double term = 1.0;
    for (int k = 1; k < 60; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
        if (term < 1e-17 * sum) break;
    }
    return sum;
}

}  // namespace

std::vector<float> kaiser_window(int n, double beta) {
    std::vector<float> w(static_cast<std::size_t>(n), 1.0f);
    if (n <= 1) return w;
    for (int i = 0; i < n; ++i) {
        const double r = 2.0 * i / (n - 1) - 1.0;
        w[static_cast<std::size_t>(i)] = static_cast<float>(bessel_i0(beta * std::sqrt(1.0 - r * r)) / bessel_i0(beta));
    }
    return w;
}

}  // namespace px
