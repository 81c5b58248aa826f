// The neighbourhood kernel compiled for the portable instruction set.

#define PX_KERNEL_NAMESPACE portable
#include "denoise/kernel/kernel_path.hpp"
#include "denoise/kernel/neighbourhood_kernel.hpp"

namespace px {

void neighbourhood_sum_portable(const neighbourhood_task& task) { portable::neighbourhood_sum_any(task); }

}  // namespace px
