// Run-time choice of the neighborhood kernel's instruction set.

#include "denoise/kernel/kernel_path.hpp"

#include <atomic>
#include <stdexcept>
#include <string>

namespace px {

namespace {

kernel_path widest_available() {
    if (kernel_path_available(kernel_path::avx512)) return kernel_path::avx512;
    if (kernel_path_available(kernel_path::avx2)) return kernel_path::avx2;
    return kernel_path::portable;
}

std::atomic<kernel_path>& selected() {
    static std::atomic<kernel_path> path{widest_available()};
    return path;
}

}  // namespace

const char* kernel_path_name(kernel_path path) {
    switch (path) {
        case kernel_path::avx512: return "avx512";
        case kernel_path::avx2: return "avx2";
        case kernel_path::portable: break;
    }
    return "portable";
}

// The build compiles the x86 kernels only for x86 processors (PX_KERNEL_AVX2 and
// PX_KERNEL_AVX512, set by CMakeLists.txt); a path left out is never available.
bool kernel_path_available(kernel_path path) {
    switch (path) {
        case kernel_path::avx512:
#if defined(PX_KERNEL_AVX512)
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                   __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw");
#else
            return false;
#endif
        case kernel_path::avx2:
#if defined(PX_KERNEL_AVX2)
            __builtin_cpu_init();
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
            return false;
#endif
        case kernel_path::portable: break;
    }
    return true;
}

kernel_path active_kernel_path() { return selected().load(std::memory_order_relaxed); }

kernel_path select_kernel_path(kernel_path path) {
    if (!kernel_path_available(path)) {
        throw std::invalid_argument(std::string("this processor cannot run the ") + kernel_path_name(path) + " kernel");
    }
    return selected().exchange(path, std::memory_order_relaxed);
}

void neighborhood_sum(kernel_path path, const neighborhood_task& task) {
    switch (path) {
#if defined(PX_KERNEL_AVX512)
        case kernel_path::avx512: neighborhood_sum_avx512(task); return;
#endif
#if defined(PX_KERNEL_AVX2)
        case kernel_path::avx2: neighborhood_sum_avx2(task); return;
#endif
        default: break;
    }
    neighborhood_sum_portable(task);
}

}  // namespace px
