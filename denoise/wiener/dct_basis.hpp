#pragma once
// The orthonormal DCT-II of a short signal as a matrix, and the Kaiser window
// that weighs a block's samples when overlapping blocks are averaged.

#include <vector>

namespace px {

// The n x n orthonormal DCT-II matrix, row-major: row k holds basis function k,
// so coefficients = D * signal and signal = D^T * coefficients. n >= 1.
std::vector<float> dct_matrix(int n);

// The transpose of a row-major n x n matrix.
std::vector<float> transposed(const std::vector<float>& matrix, int n);

// The n-point Kaiser window with shape parameter beta (all ones for n == 1).
std::vector<float> kaiser_window(int n, double beta);

}  // namespace px
