// The neighborhood kernel compiled for the avx2 instruction set.

#define PX_KERNEL_NAMESPACE avx2
#include "denoise/kernel/kernel_path.hpp"
#include "denoise/kernel/neighborhood_kernel.hpp"

namespace px {

void neighborhood_sum_avx2(const neighborhood_task& task) { avx2::neighborhood_sum_any(task); }

}  // namespace px
