// Validation and storage of the engine's parameters.

#include <stdexcept>
#include <string>

#include "denoise/engine/vorel.hpp"

namespace px {

void vorel::set_max_iter(int n) {
    if (n <= 0) throw std::invalid_argument("max_iter must be > 0");
    max_iter = n;
}

void vorel::set_patch_radius(const extent& r) {
    if (r.x < 0 || r.y < 0 || r.z < 0 || r.t < 0) throw std::invalid_argument("patch radius cannot be negative");
    patch_radius.x = r.x;
    patch_radius.y = r.y;
    patch_radius.z = r.z;
    patch_radius.t = r.t;
}

void vorel::set_neighborhood_axes(const extent& a) {
    neighborhood_axes.z = a.z != 0 ? 1 : 0;
    neighborhood_axes.t = a.t != 0 ? 1 : 0;
}

void vorel::set_pvalue(float p) {
    // Written so that NaN fails too.
    if (!(p >= 0.0f && p <= 1.0f)) throw std::invalid_argument("pvalue must be in range [0, 1]");
    pvalue = p;
    quantile = static_cast<float>(normal_quantile(p));
}

void vorel::set_renoise(float f) {
    if (!(f >= 0.0f)) throw std::invalid_argument("renoise factor must be >= 0");
    renoise = f;
}

void vorel::check_patch_fits(const extent& dims) const {
    if (dims.size() == 0) return;  // an empty image has nothing to read
    const struct {
        const char* name;
        std::int32_t size;
        std::int32_t radius;
    } axes[] = {{"x", dims.x, patch_radius.x},
                {"y", dims.y, patch_radius.y},
                {"z", dims.z, patch_radius.z},
                {"t", dims.t, patch_radius.t}};
    for (const auto& axis : axes) {
        const std::int64_t span = 2 * std::int64_t{axis.radius} + 1;
        if (axis.radius > 0 && axis.size < span) {
            throw std::invalid_argument("the patch does not fit along " + std::string(axis.name) + ": radius " +
                                        std::to_string(axis.radius) + " needs " + std::to_string(span) +
                                        " samples, the axis has " + std::to_string(axis.size));
        }
    }
}

}  // namespace px
