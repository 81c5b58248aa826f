#pragma once
// The instruction sets the neighborhood kernel is built for, which of them
// this processor runs, and which one the engine uses. Every path gives the
// same bits: each lane keeps the operation order of the straight loop.

#include "denoise/kernel/neighborhood_task.hpp"

namespace px {

enum class kernel_path { portable, avx2, avx512 };

const char* kernel_path_name(kernel_path path);

// Whether this processor (and its operating system) runs the path.
bool kernel_path_available(kernel_path path);

// The widest available path, unless select_kernel_path chose another.
kernel_path active_kernel_path();

// Makes the engine use path from now on, process-wide; throws
// std::invalid_argument when this processor cannot run it. Returns the path
// used before, so that a caller can restore it.
kernel_path select_kernel_path(kernel_path path);

// The weighted sum of the neighbor patches of one reference position, on
// the given path (which must be available).
void neighborhood_sum(kernel_path path, const neighborhood_task& task);

// One entry per path, each compiled for its own instruction set.
void neighborhood_sum_portable(const neighborhood_task& task);
void neighborhood_sum_avx2(const neighborhood_task& task);
void neighborhood_sum_avx512(const neighborhood_task& task);

}  // namespace px
