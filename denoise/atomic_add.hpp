#pragma once
// Atomic single-precision addition for accumulators that overlapping patches
// of several threads write at once.

namespace px {

inline void atomic_add(float& target, float value) {
#pragma omp atomic update
    target += value;
}

}  // namespace px
