#include "bindings/engine/geometry_entry.hpp"

#include <limits>
#include <stdexcept>
#include <string>

#include "bindings/engine_setup.hpp"
#include "denoise/engine/geometry.hpp"

namespace py = pybind11;

namespace {

px::extent extent_of(const std::vector<long long>& shape) {
    if (shape.empty() || shape.size() > 5) {
        throw std::invalid_argument("shape needs 1 to 5 sizes, got " + std::to_string(shape.size()));
    }
    std::int32_t sizes[5] = {1, 1, 1, 1, 1};  // x, y, z, c, t
    for (std::size_t k = 0; k < shape.size(); ++k) {
        const long long length = shape[shape.size() - 1 - k];
        if (length < 1 || length > std::numeric_limits<std::int32_t>::max()) {
            throw std::invalid_argument("shape sizes must be 1 to 2147483647, got " + std::to_string(length));
        }
        sizes[k] = static_cast<std::int32_t>(length);
    }
    return px::extent{sizes[0], sizes[1], sizes[2], sizes[3], sizes[4]};
}

py::tuple tzyx(const px::extent& e) { return py::make_tuple(e.t, e.z, e.y, e.x); }

}  // namespace

py::dict engine_geometry(const std::vector<long long>& shape, const std::vector<int>& patch_radius,
                         const std::vector<int>& neighborhood_axes, int max_iter) {
    require_axis_lists(patch_radius, neighborhood_axes);
    const px::extent dims = extent_of(shape);
    px::vorel engine = configured_engine(dims, 1.0f, patch_radius, neighborhood_axes, max_iter, 0.01f, 0.0f);
    py::list radii;
    for (int i = 0; i < engine.max_iter; ++i) radii.append(tzyx(px::search_radius(i, dims, engine.neighborhood_axes)));
    py::dict geometry;
    geometry["search_radius"] = radii;
    geometry["grid_step"] = tzyx(px::grid_step(engine.patch_radius, dims));
    geometry["reach"] = tzyx(px::reach(engine.patch_radius, dims, engine.neighborhood_axes, engine.max_iter));
    geometry["work"] = engine.planned_work(dims);
    return geometry;
}
