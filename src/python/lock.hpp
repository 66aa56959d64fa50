#pragma once
/// Releasing the interpreter lock around work that touches no Python object,
/// so that other Python threads run meanwhile. Only the forest's entry points
/// do it; the raw classes keep the lock for the whole of every call.

#include "python_api.hpp"

namespace quor::py {

/// Releases the lock for its lifetime (and takes it back on the way out,
/// exceptions included, before the guard sets any Python error).
class ReleasedLock {
 public:
  ReleasedLock() : saved_(PyEval_SaveThread()) {}
  ~ReleasedLock() { PyEval_RestoreThread(saved_); }
  ReleasedLock(const ReleasedLock&) = delete;
  ReleasedLock& operator=(const ReleasedLock&) = delete;

  /// Runs `work` with the lock taken back for it, then releases it again.
  template <class Work>
  auto locked(Work&& work) -> decltype(work()) {
    PyEval_RestoreThread(saved_);
    struct Release {
      PyThreadState*& saved;
      ~Release() { saved = PyEval_SaveThread(); }
    } release{saved_};
    return work();
  }

 private:
  PyThreadState* saved_;
};

}  // namespace quor::py
