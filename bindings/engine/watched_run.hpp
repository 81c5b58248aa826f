#pragma once
// A long native call watched from the calling thread: the work runs on a
// thread of its own without the interpreter lock, and about ten times a
// second the calling thread takes the lock to report progress and to let
// Python handle pending signals.

#include <pybind11/pybind11.h>

#include <functional>

#include "denoise/engine/run_control.hpp"

// Raises TypeError unless progress is callable or None.
void require_progress(const pybind11::object& progress);

// Runs job (which must watch control) with a team of `threads` OpenMP
// threads. progress (if not None) is called with control's fraction done, and
// with 1.0 at the end; an exception raised there, or by a signal handler (a
// KeyboardInterrupt), stops the job and propagates once it has ended, as does
// one the job throws. Call with the interpreter lock held.
void run_watched(const std::function<void()>& job, int threads, px::run_control& control,
                 const pybind11::object& progress);
