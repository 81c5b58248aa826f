#pragma once
// A separable transform of a small dense block: one matrix applied along
// each axis in turn.

#include <array>

namespace px {

// A block of shape[3] x shape[2] x shape[1] x shape[0] samples (shape[0]
// fastest in memory) and, per axis, the matrix applied along it (row-major
// shape[a] x shape[a]) with its transpose; axes of length 1 are skipped.
struct block_transform {
    std::array<int, 4> shape{1, 1, 1, 1};
    std::array<const float*, 4> matrix{};
    std::array<const float*, 4> matrix_t{};

    int volume() const { return shape[0] * shape[1] * shape[2] * shape[3]; }

    // Transforms data in place; scratch holds volume() floats. The result
    // depends only on the inputs, never on where the block lies.
    void apply(float* data, float* scratch) const;
};

}  // namespace px
