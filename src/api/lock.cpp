// Re-taking the interpreter lock, and the one place a thread the finalising interpreter unwinds parks.
#include "api/lock.h"

#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>  // abi::__forced_unwind, libstdc++ only
#endif

namespace brantoveil::api {

void park_thread() noexcept {
  for (;;) pause();
}

void retake_gil(PyThreadState* state) noexcept {
#if defined(__GLIBCXX__)
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    park_thread();
  }
#else
  PyEval_RestoreThread(state);
#endif
}

}  // namespace brantoveil::api
