#pragma once
// The engine configuration shared by the denoising entry points of both
// modules: checks of the per-axis lists and a validated px::vorel.

#include <vector>

#include "core/extent.hpp"
#include "denoise/engine/vorel.hpp"

// The team size a call asks for: above 0 as given; 0 or below counts back
// from the calling thread's OpenMP setting, never below one.
int thread_count(int requested);

// Both per-axis lists are read by position: x, y, z, c, t.
void require_axis_lists(const std::vector<int>& patch_radius, const std::vector<int>& neighborhood_axes);

// An engine configured for an image of these dims. The z and t radii and
// search switches apply only where the image extends along that axis; an x
// or y axis of one sample gets radius 0 too.
px::vorel configured_engine(const px::extent& dims, float sigma, const std::vector<int>& patch_radius,
                            const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, float renoise);
