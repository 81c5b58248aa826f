#include "bindings/engine/engine_thread.hpp"

#include <omp.h>

engine_thread::engine_thread(px::vorel& engine, const px::image_view& noisy, px::array& denoised, float sigma,
                             int threads, px::run_control& control)
    : control_(control), thread_([this, &engine, noisy, &denoised, sigma, threads] {
          // The thread count is per thread in OpenMP: a new thread starts from the process default.
          omp_set_num_threads(threads);
          std::exception_ptr failure;
          try {
              denoised = engine.run(noisy, sigma);
          } catch (...) {
              failure = std::current_exception();
          }
          const std::lock_guard<std::mutex> lock(mutex_);
          failure_ = failure;
          ended_ = true;
          ended_signal_.notify_all();
      }) {}

engine_thread::~engine_thread() {
    control_.stop.store(true);
    if (thread_.joinable()) thread_.join();
}

bool engine_thread::wait_for(std::chrono::milliseconds interval) {
    std::unique_lock<std::mutex> lock(mutex_);
    return ended_signal_.wait_for(lock, interval, [this] { return ended_; });
}

void engine_thread::finish() {
    thread_.join();
    if (failure_) std::rethrow_exception(failure_);
}
