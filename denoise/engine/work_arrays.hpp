#pragma once
// The five image-sized arrays an iteration of the engine works on, handed on
// as one value from the driver to the passes, the scatter and the
// normalisation.

#include "core/array.hpp"

namespace px {

// The arrays belong to the caller (vorel::run builds them once per run):
// - estimate, variance: the current estimate and its per-sample variance,
//   only read during an iteration;
// - next_estimate, next_variance, weights: the accumulators the reference
//   patches add into (contributed estimates, their variances, and a count of
//   one per contribution), which normalize turns into the new estimate and
//   its variance.
struct work_arrays {
    const array& estimate;
    const array& variance;
    array& next_estimate;
    array& next_variance;
    array& weights;
};

}  // namespace px
