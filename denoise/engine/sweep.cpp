// How a pass hands out its reference positions to the threads:
// - one thread: every position in grid order, with plain additions, so that
//   each sample takes its contributions in the order of the positions;
// - several threads: slabs of positions whose patches never overlap those
//   of the other slabs of their colour, a colour at a time, with plain
//   additions (no two threads write a sample at once, and no cache line of
//   the accumulators goes back and forth between threads while a slab runs);
// - several threads on a grid too small for that: one position at a time,
//   with atomic additions.
// The sums of a sample then take their terms in another order than with one
// thread, which may change their last bits.

#include "denoise/engine/sweep.hpp"

#include <omp.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "denoise/engine/accumulator_add.hpp"
#include "denoise/engine/work_count.hpp"

namespace px {

namespace {

// Work (patch samples compared) a thread gathers before it publishes it: a
// few microseconds of computing, far below the tenth of a second between reports.
constexpr std::int64_t work_report_batch = 1 << 16;

// Slabs of one colour per thread below which the barriers between colours
// would leave threads waiting too long: the pass then shares positions.
constexpr std::int64_t slabs_per_thread = 2;

// Distances a thread keeps for the positions that follow (256 KiB).
constexpr std::int64_t max_cached_distances = 1 << 15;

// Widened noisy samples a thread keeps for one position (512 KiB).
constexpr std::int64_t max_widened_samples = 1 << 16;

// One thread's part of a pass: its scratch patch, made once, cleared per
// position, and the work it has not reported yet.
class pass_worker {
public:
    pass_worker(const vorel& engine, const extent& patch_size, const image_view& image, float sigma,
                const extent& radius, const work_arrays& work)
        : engine_(engine),
          image_(image),
          sigma_(sigma),
          radius_(radius),
          arrays_(work),
          work_{radius, engine.patch_radius, image.dims} {
        try {
            patch_ = array(patch_size, 0.0f);
        } catch (const std::bad_alloc&) {
            // Left empty: this thread skips its positions and the pass reports it.
        }
        try {
            next_patch_ = array(patch_size, 0.0f);
        } catch (const std::bad_alloc&) {
            // Left empty: every position is computed on its own.
        }
        // Room for the distances of up to 8 positions of a row, within a size
        // that stays in the cache: positions with more neighbors go fewer at a
        // time, or alone.
        std::int64_t neighbors = 1;
        const std::int32_t reach[4] = {radius.x, radius.y, radius.z, radius.t};
        const std::int32_t size[4] = {image.dims.x, image.dims.y, image.dims.z, image.dims.t};
        for (int a = 0; a < 4; ++a) neighbors *= std::min<std::int64_t>(2 * std::int64_t{reach[a]} + 1, size[a]);
        try {
            distances_.resize(static_cast<std::size_t>(std::min<std::int64_t>(8 * neighbors, max_cached_distances)));
            cache_.values = distances_.data();
            cache_.capacity = static_cast<std::int64_t>(distances_.size());
            // The weights of two positions at a time.
            neighbor_weights_.resize(
                static_cast<std::size_t>(std::min<std::int64_t>(2 * neighbors, max_cached_distances)));
            cache_.weights = neighbor_weights_.data();
            cache_.weights_capacity = static_cast<std::int64_t>(neighbor_weights_.size());
        } catch (const std::bad_alloc&) {
            // Without the room, every position computes its own distances.
        }
        // Room for the widened noisy samples of one position's neighbor patches.
        const std::int32_t patch[4] = {engine.patch_radius.x, engine.patch_radius.y, engine.patch_radius.z,
                                       engine.patch_radius.t};
        // Along x also room for a second position, at most the interior grid's step on.
        std::int64_t box = image.dims.c;
        for (int a = 0; a < 4; ++a) {
            const std::int64_t window = std::min<std::int64_t>(2 * std::int64_t{reach[a]} + 1, size[a]);
            box *= a == 0 ? window + 7 + patch[0] + 1
                          : std::min<std::int64_t>(window + 2 * std::int64_t{patch[a]}, size[a]);
        }
        try {
            widened_.resize(static_cast<std::size_t>(std::min<std::int64_t>(box, max_widened_samples)));
            cache_.widened = widened_.data();
            cache_.widened_capacity = static_cast<std::int64_t>(widened_.size());
        } catch (const std::bad_alloc&) {
            // Without it, the patch update reads the noisy image itself.
        }
    }

    pass_worker(const pass_worker&) = delete;
    pass_worker& operator=(const pass_worker&) = delete;

    ~pass_worker() {
        if (engine_.control != nullptr) engine_.control->done.fetch_add(unreported_, std::memory_order_relaxed);
    }

    bool has_scratch() const { return !patch_.values.empty(); }

    // following: the positions this thread visits right after p, at x +
    // k step (k = 1 .. following) in the same row.
    template <class Add>
    void visit(const std::int32_t (&p)[4], std::int32_t following, std::int32_t step) {
        run_control* const control = engine_.control;
        if (!has_scratch()) return;
        if (control != nullptr && control->stop.load(std::memory_order_relaxed)) return;
        float weight_sq_sum = 0.0f;
        float weight_sum = 0.0f;
        if (next_ready_ && std::equal(p, p + 4, next_at_)) {
            // Computed alongside the previous position.
            patch_.values.swap(next_patch_.values);
            weight_sq_sum = next_weight_sq_sum_;
            weight_sum = next_weight_sum_;
            next_ready_ = false;
        } else {
            next_ready_ = false;
            std::fill(patch_.values.begin(), patch_.values.end(), 0.0f);
            const bool pairs = following >= 1 && !next_patch_.values.empty();
            if (pairs) std::fill(next_patch_.values.begin(), next_patch_.values.end(), 0.0f);
            next_weight_sq_sum_ = 0.0f;
            next_weight_sum_ = 0.0f;
            vorel::following_sums next{next_patch_, next_weight_sq_sum_, next_weight_sum_};
            engine_.accumulate_neighborhood(image_, sigma_, radius_, arrays_.estimate, arrays_.variance, patch_,
                                            weight_sq_sum, weight_sum, p[0], p[1], p[2], p[3], &cache_, following, step,
                                            pairs ? &next : nullptr);
            if (next.done) {
                next_ready_ = true;
                next_at_[0] = p[0] + step;
                std::copy(p + 1, p + 4, next_at_ + 1);
            }
        }
        engine_.add_patch<Add>(arrays_, patch_, weight_sq_sum, weight_sum, p[0], p[1], p[2], p[3]);
        // Published in batches: one shared atomic per position would bounce its cache line between the threads.
        if (control != nullptr && (unreported_ += work_.at(p)) >= work_report_batch) {
            control->done.fetch_add(unreported_, std::memory_order_relaxed);
            unreported_ = 0;
        }
    }

private:
    const vorel& engine_;
    const image_view& image_;
    const float sigma_;
    const extent& radius_;
    const work_arrays arrays_;
    const work_count work_;
    array patch_;
    // The sums of the position after the last one visited, where the kernel
    // computed them alongside it (next_ready_), and that position.
    array next_patch_;
    float next_weight_sq_sum_ = 0.0f;
    float next_weight_sum_ = 0.0f;
    bool next_ready_ = false;
    std::int32_t next_at_[4] = {};
    std::vector<double> distances_;
    std::vector<double> neighbor_weights_;
    std::vector<double> widened_;
    kernel_scratch cache_;
    std::int64_t unreported_ = 0;
};

}  // namespace

void sweep(const vorel& engine, const reference_grid& grid, const extent& patch_size, const image_view& image,
           float sigma, const extent& radius, const work_arrays& work) {
    const std::int64_t positions = grid.size();
    if (positions == 0) return;
    run_control* const control = engine.control;
    if (control != nullptr && control->planning) {
        control->total +=
            work_count{radius, engine.patch_radius, image.dims}.of_grid(grid.first, grid.step, grid.count);
        return;
    }
    const std::int32_t patch_radius[4] = {engine.patch_radius.x, engine.patch_radius.y, engine.patch_radius.z,
                                          engine.patch_radius.t};
    bool out_of_memory = false;
#pragma omp parallel
    {
        pass_worker worker(engine, patch_size, image, sigma, radius, work);
        if (!worker.has_scratch()) {
#pragma omp atomic write
            out_of_memory = true;
        }
        const int team = omp_get_num_threads();
        const slab_plan slabs(grid, patch_radius, slabs_per_thread * team);
        std::int32_t p[4];
        if (team == 1) {
            for (std::int64_t i = 0; i < positions; ++i) {
                grid.position(i, p);
                worker.visit<owned_add>(p, grid.following(p), grid.step[0]);
            }
        } else if (slabs.axis >= 0) {
            for (std::int32_t colour = 0; colour < slabs.colours; ++colour) {
                const std::int32_t count = slabs.slabs(grid, colour);
#pragma omp for schedule(dynamic, 1)
                for (std::int32_t m = 0; m < count; ++m) {
                    slabs.each_position(grid, colour + m * slabs.colours,
                                        [&worker, &grid](const std::int32_t (&q)[4], std::int32_t following) {
                                            worker.visit<owned_add>(q, following, grid.step[0]);
                                        });
                }
            }
        } else {
#pragma omp for schedule(dynamic, 1)
            for (std::int64_t i = 0; i < positions; ++i) {
                grid.position(i, p);
                // The next position may go to another thread: nothing to share.
                worker.visit<shared_add>(p, 0, 0);
            }
        }
    }
    if (out_of_memory) throw std::bad_alloc();
}

}  // namespace px
