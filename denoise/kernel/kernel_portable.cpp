// The neighborhood kernel compiled for the portable instruction set.

#define PX_KERNEL_NAMESPACE portable
#include "denoise/kernel/kernel_path.hpp"
#include "denoise/kernel/neighborhood_kernel.hpp"

namespace px {

void neighborhood_sum_portable(const neighborhood_task& task) { portable::neighborhood_sum_any(task); }

}  // namespace px
