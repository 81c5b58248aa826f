#include "bindings/engine/background_job.hpp"

#include <omp.h>

#include <utility>

background_job::background_job(std::function<void()> job, int threads, px::run_control& control)
    : control_(control), job_(std::move(job)), thread_([this, threads] {
          // The thread count is per thread in OpenMP: a new thread starts from the process default.
          omp_set_num_threads(threads);
          std::exception_ptr failure;
          try {
              job_();
          } catch (...) {
              failure = std::current_exception();
          }
          const std::lock_guard<std::mutex> lock(mutex_);
          failure_ = failure;
          ended_ = true;
          ended_signal_.notify_all();
      }) {}

background_job::~background_job() {
    control_.stop.store(true);
    if (thread_.joinable()) thread_.join();
}

bool background_job::wait_for(std::chrono::milliseconds interval) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_signal_.wait_for(lock, interval, [this] { return ended_; });
}

void background_job::finish() {
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
}
