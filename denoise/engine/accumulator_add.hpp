#pragma once
// How a reference patch adds into the shared accumulators: the policy of the
// scatter, chosen by whoever hands out the reference positions.
// - shared_add: other threads may write the same samples at the same time,
//   so every addition is an atomic single-precision addition;
// - owned_add: no other thread writes the samples of this patch meanwhile
//   (one thread, or positions handed out so that concurrent patches never
//   overlap), so a plain addition gives the same sum.

namespace px {

struct shared_add {
    static void add(float& target, float value) {
#pragma omp atomic update
        target += value;
    }
};

struct owned_add {
    static void add(float& target, float value) { target += value; }
};

}  // namespace px
