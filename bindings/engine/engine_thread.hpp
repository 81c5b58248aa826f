#pragma once
// An engine run on a thread of its own, so that the calling thread stays
// free to report progress and to handle signals. Destroying the object asks
// the run to stop and waits for its thread: no exception leaves the caller
// while the run still reads the caller's objects.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "core/array.hpp"
#include "core/image_view.hpp"
#include "denoise/vorel.hpp"

class engine_thread {
public:
    // Starts denoised = engine.run(noisy, sigma) with a team of `threads`
    // OpenMP threads; engine.control must point to control. noisy's samples
    // must stay unchanged until the run has ended.
    engine_thread(px::vorel& engine, const px::image_view& noisy, px::array& denoised, float sigma, int threads,
                  px::run_control& control);
    ~engine_thread();
    engine_thread(const engine_thread&) = delete;
    engine_thread& operator=(const engine_thread&) = delete;

    // Waits until the run has ended or `interval` has passed; true once it has ended.
    bool wait_for(std::chrono::milliseconds interval);

    // Joins the ended run and rethrows whatever it threw.
    void finish();

private:
    px::run_control& control_;
    std::mutex mutex_;
    std::condition_variable ended_signal_;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: it starts once the members above exist
};
