// ReleasedLock: the interpreter lock given up for a scope and always taken back.
#pragma once

#include <Python.h>

namespace zel {

// Releases the calling thread's interpreter lock while it lives, and takes it back when it
// ends, however it ends: on return, or while an exception unwinds to the entry point's guard,
// which then raises with the lock held. Nothing that touches a Python object may run while it
// is released, except through check_signals.
class ReleasedLock {
 public:
  ReleasedLock() noexcept : saved_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(saved_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

  // Takes the lock back for a moment to run Python's signal handlers; false when one raised,
  // whose exception stays set for the entry point to return.
  bool check_signals() noexcept {
    PyEval_RestoreThread(saved_);
    const bool calm = PyErr_CheckSignals() == 0;
    saved_ = PyEval_SaveThread();
    return calm;
  }

 private:
  PyThreadState* saved_;
};

}  // namespace zel
