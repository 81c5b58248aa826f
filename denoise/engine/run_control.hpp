#pragma once
// What an engine run shares with a watcher on another thread: a request to
// stop, and the work done so far out of a total counted before the first
// iteration. A run without a watcher never looks at any of it.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>

namespace px {

struct run_control {
    // Set by the watcher; the passes skip their remaining reference positions.
    std::atomic<bool> stop{false};
    // Work done, in units of one patch sample compared or summed.
    std::atomic<std::int64_t> done{0};
    // Work of the whole run, counted while planning is set (no sample is touched then).
    std::int64_t total = 0;
    bool planning = false;

    // Fraction of the run done, in [0, 1].
    double fraction() const {
        if (total <= 0) return 0.0;
        return std::min(1.0, static_cast<double>(done.load(std::memory_order_relaxed)) / static_cast<double>(total));
    }
};

// Thrown by vorel::run when its watcher asked it to stop.
struct run_stopped : std::runtime_error {
    run_stopped() : std::runtime_error("the denoising run was stopped") {}
};

}  // namespace px
