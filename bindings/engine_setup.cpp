#include "bindings/engine_setup.hpp"

#include <omp.h>

#include <stdexcept>
#include <string>

int thread_count(int requested) {
    if (requested > 0) return requested;
    const int remaining = omp_get_max_threads() + requested;
    return remaining > 1 ? remaining : 1;
}

void require_axis_lists(const std::vector<int>& patch_radius, const std::vector<int>& neighborhood_axes) {
    const auto check = [](const std::vector<int>& list, const char* name) {
        if (list.size() < 5) {
            throw std::invalid_argument(std::string(name) + " needs 5 entries (x, y, z, c, t), got " +
                                        std::to_string(list.size()));
        }
    };
    check(patch_radius, "patch_radius");
    check(neighborhood_axes, "neighborhood_axes");
}

px::vorel configured_engine(const px::extent& dims, float sigma, const std::vector<int>& patch_radius,
                            const std::vector<int>& neighborhood_axes, int max_iter, float pvalue, float renoise) {
    px::vorel engine;
    const px::extent radius{dims.x != 1 ? patch_radius[0] : 0, dims.y != 1 ? patch_radius[1] : 0,
                            dims.z != 1 ? patch_radius[2] : 0, 0, dims.t != 1 ? patch_radius[4] : 0};
    const px::extent axes{1, 1, dims.z != 1 && neighborhood_axes[2] != 0 ? 1 : 0, 0,
                          dims.t != 1 && neighborhood_axes[4] != 0 ? 1 : 0};
    engine.set_max_iter(max_iter);
    engine.set_patch_radius(radius);
    engine.set_neighborhood_axes(axes);
    engine.set_pvalue(pvalue);
    engine.set_renoise(renoise);
    // Every distance divides by a variance built from sigma.
    if (!(sigma > 0.0f)) throw std::invalid_argument("sigma must be > 0");
    engine.check_patch_fits(dims);
    return engine;
}
