// A native run with the interpreter lock released, taking it back only for
// the moments that need it: to run pending signal handlers and to raise.
#pragma once

#include "frame/python.hpp"

#include <ctime>

namespace frame {

class lock_released {
 public:
  // Created with the lock held; release() lets it go, and destruction takes
  // it back.
  lock_released() noexcept : main_thread_(_PyOS_IsMainThread() != 0) {}
  lock_released(const lock_released&) = delete;
  lock_released& operator=(const lock_released&) = delete;
  ~lock_released() {
    if (state_ != nullptr) PyEval_RestoreThread(state_);
  }

  void release() noexcept {
    last_check_ = now();
    state_ = PyEval_SaveThread();
  }

  // Runs `f` with the lock held (to set an exception, which stays pending
  // in this thread's state until the run returns).
  template <class F>
  void locked(F&& f) noexcept {
    PyEval_RestoreThread(state_);
    f();
    state_ = PyEval_SaveThread();
  }

  // Runs pending signal handlers; false with the handler's exception set.
  // Only the main thread runs them, so no other thread takes the lock back
  // for it (it could wait there behind busy Python threads).
  bool check_interrupts() noexcept {
    if (!main_thread_) return true;
    bool ok = true;
    locked([&] { ok = PyErr_CheckSignals() == 0; });
    last_check_ = now();
    interrupted_ |= !ok;
    return ok;
  }

  // Whether a signal handler has raised during the run.
  bool interrupted() const noexcept { return interrupted_; }

  // After native callbacks: a check when a millisecond has passed since the
  // last one, so slow callbacks cannot delay a Ctrl-C and fast ones cost a
  // read of the coarse clock (a few nanoseconds; it ticks every few ms).
  bool check_interrupts_after_callback() noexcept {
    if (!main_thread_ || now() - last_check_ < 1e-3) return true;
    return check_interrupts();
  }

 private:
  static double now() noexcept {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
  }

  bool main_thread_;
  bool interrupted_ = false;
  PyThreadState* state_ = nullptr;
  double last_check_ = 0.0;
};

}  // namespace frame
