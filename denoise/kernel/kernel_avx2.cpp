// The neighbourhood kernel compiled for the avx2 instruction set.

#define PX_KERNEL_NAMESPACE avx2
#include "denoise/kernel/kernel_path.hpp"
#include "denoise/kernel/neighbourhood_kernel.hpp"

namespace px {

void neighbourhood_sum_avx2(const neighbourhood_task& task) { avx2::neighbourhood_sum_any(task); }

}  // namespace px
