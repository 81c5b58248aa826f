#pragma once
// The engine's geometry for an image shape, so that the package cuts images
// into parts and estimates run times by the engine's own rules.

#include <pybind11/pybind11.h>

#include <vector>

// For an image of `shape` (1 to 5 sizes, engine axis order t, c, z, y, x,
// the last fastest) and the engine parameters as for denoise: a dict of
// "search_radius" (per iteration, the radius along t, z, y, x), "grid_step"
// and "reach" (t, z, y, x), and "work" (the units of work a run counts for its
// progress). Raises ValueError for parameters or a shape the engine rejects.
pybind11::dict engine_geometry(const std::vector<long long>& shape, const std::vector<int>& patch_radius,
                               const std::vector<int>& neighborhood_axes, int max_iter);
