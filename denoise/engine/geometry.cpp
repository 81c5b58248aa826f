#include "denoise/engine/geometry.hpp"

#include <algorithm>
#include <cmath>

namespace px {

extent search_radius(int i, const extent& dims, const extent& axes) {
    const auto capped = [](double radius, std::int32_t size) {
        return static_cast<std::int32_t>(std::min(radius, static_cast<double>(size)));
    };
    const double power_of_two = std::pow(2.0, i);
    extent radius{0, 0, 0, 0, 0};
    if (dims.x > 1 && axes.x == 1) radius.x = capped(power_of_two, dims.x);
    if (dims.y > 1 && axes.y == 1) radius.y = capped(power_of_two, dims.y);
    if (dims.z > 1 && axes.z == 1) radius.z = capped(i, dims.z);
    if (dims.t > 1 && axes.t == 1) radius.t = capped(std::max(i - 2, 0), dims.t);
    return radius;
}

extent grid_step(const extent& r, const extent& dims) {
    extent step{1, 1, 1, 1, 1};
    if (r.x > 0 && r.x < dims.x) step.x = r.x + 1;
    if (r.y > 0 && r.y < dims.y) step.y = r.y + 1;
    if (r.z > 0 && std::int64_t{dims.z} > 4 * std::int64_t{r.z} + 1) step.z = r.z + 1;
    if (r.t > 0 && r.t < dims.t) step.t = r.t;
    return step;
}

extent reach(const extent& patch_radius, const extent& dims, const extent& axes, int iterations) {
    const auto along = [](std::int32_t r, std::int32_t radius) {
        return r > 0 ? 2 * r + std::max(radius, std::int32_t{1}) : radius;
    };
    extent total{0, 0, 0, 0, 0};
    for (int i = 0; i < iterations; ++i) {
        const extent radius = search_radius(i, dims, axes);
        total.x += along(patch_radius.x, radius.x);
        total.y += along(patch_radius.y, radius.y);
        total.z += along(patch_radius.z, radius.z);
        total.t += along(patch_radius.t, radius.t);
    }
    return total;
}

}  // namespace px
