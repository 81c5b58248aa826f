// The neighbourhood kernel compiled for the avx512 instruction set.

#define PX_KERNEL_NAMESPACE avx512
#include "denoise/kernel/kernel_path.hpp"
#include "denoise/kernel/neighbourhood_kernel.hpp"

namespace px {

void neighbourhood_sum_avx512(const neighbourhood_task& task) { avx512::neighbourhood_sum_any(task); }

}  // namespace px
