#pragma once
// A piece of native work on a thread of its own, so that the calling thread
// stays free to report progress and to handle signals. Destroying the object
// asks the work to stop (through its run_control) and waits for its thread:
// no exception leaves the caller while the work still reads the caller's objects.

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

#include "denoise/engine/run_control.hpp"

class background_job {
public:
    // Starts job() with a team of `threads` OpenMP threads; job must watch control.
    background_job(std::function<void()> job, int threads, px::run_control& control);
    ~background_job();
    background_job(const background_job&) = delete;
    background_job& operator=(const background_job&) = delete;

    // Waits until the job has ended or `interval` has passed; true once it has ended.
    bool wait_for(std::chrono::milliseconds interval);

    // Joins the ended job and rethrows whatever it threw.
    void finish();

private:
    px::run_control& control_;
    std::function<void()> job_;
    std::mutex mutex_;
    std::condition_variable ended_signal_;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::thread thread_;  // last: it starts once the members above exist
};
