#include "bindings/engine/watched_wiener.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "bindings/engine/watched_run.hpp"
#include "bindings/engine_setup.hpp"
#include "denoise/wiener/dct_wiener.hpp"

namespace py = pybind11;

namespace {

// The per-axis lists (x, y, z, c, t) as the kernel's (x, y, z, t).
px::wiener_blocks blocks_of(const std::vector<int>& block, const std::vector<int>& step,
                            const std::vector<long long>& origin) {
    const auto check = [](std::size_t size, const char* name) {
        if (size != 5) {
            throw std::invalid_argument(std::string(name) + " needs 5 entries (x, y, z, c, t), got " +
                                        std::to_string(size));
        }
    };
    check(block.size(), "block");
    check(step.size(), "step");
    check(origin.size(), "origin");
    if (block[3] != 1 || step[3] != 1 || origin[3] != 0) {
        throw std::invalid_argument(
            "a block never spans channels: the c entries of block, step and origin must be "
            "1, 1 and 0");
    }
    px::wiener_blocks blocks;
    const int axes[4] = {0, 1, 2, 4};
    for (int a = 0; a < 4; ++a) {
        blocks.size[a] = block[axes[a]];
        blocks.step[a] = step[axes[a]];
        blocks.origin[a] = origin[axes[a]];
    }
    return blocks;
}

}  // namespace

ndarray watched_wiener(ndarray noisy, ndarray pilot, const std::vector<int>& block, const std::vector<int>& step,
                       const std::vector<long long>& origin, int threads, const py::object& progress, float floor) {
    require_progress(progress);
    if (noisy.ndim() != pilot.ndim() || !std::equal(noisy.shape(), noisy.shape() + noisy.ndim(), pilot.shape())) {
        throw std::invalid_argument("noisy and pilot must have the same shape");
    }
    const px::image_view noisy_view(dims_of(noisy), noisy.data());
    const px::image_view pilot_view(dims_of(pilot), pilot.data());
    if (noisy_view.empty()) throw std::invalid_argument("the image is empty");
    px::wiener_blocks blocks = blocks_of(block, step, origin);
    blocks.floor = floor;
    px::check_wiener_blocks(noisy_view.dims, blocks);
    px::array filtered;
    px::run_control control;
    run_watched([&] { filtered = px::dct_wiener(noisy_view, pilot_view, blocks, &control); }, thread_count(threads),
                control, progress);
    ndarray result(std::vector<py::ssize_t>(noisy.shape(), noisy.shape() + noisy.ndim()));
    write_back(result, filtered);
    return result;
}
