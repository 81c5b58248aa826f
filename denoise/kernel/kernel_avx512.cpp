// The neighborhood kernel compiled for the avx512 instruction set.

#define PX_KERNEL_NAMESPACE avx512
#include "denoise/kernel/kernel_path.hpp"
#include "denoise/kernel/neighborhood_kernel.hpp"

namespace px {

void neighborhood_sum_avx512(const neighborhood_task& task) { avx512::neighborhood_sum_any(task); }

}  // namespace px
