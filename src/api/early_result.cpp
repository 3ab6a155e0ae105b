// Early result bytes and the background task that warms their pages while the trees are read.
#include "api/early_result.h"

#include <algorithm>

#include "distances/matrix.h"
#include "pool/pool.h"

namespace brantoveil::api {

namespace {

// Below this the first touch costs little next to starting a thread.
constexpr std::size_t kMinBytes = std::size_t{32} << 20;

}  // namespace

EarlyResult::EarlyResult(std::size_t expected, std::size_t element_size)
    : expected_(expected), element_size_(element_size) {
  constexpr auto kMax = static_cast<std::size_t>(PY_SSIZE_T_MAX);
  if (expected == 0 || expected > kMax / element_size / expected) return;
  const std::size_t bytes = expected * expected * element_size;
  if (bytes < kMinBytes || pool::cpu_count() < 2) return;
  bytes_ = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(bytes)));
  if (!bytes_) {
    PyErr_Clear();  // asked for again after reading, where a failure is reported in its usual place
    return;
  }
  char* data = PyBytes_AS_STRING(bytes_.get());
  distances::prepare_result_pages(data, bytes);
  // The reading's own peak (a chunk of texts and parse trees) comes on top of the warmed pages;
  // the last eighth is left to the kernel, so the two together stay near the result's size.
  const std::size_t cap = bytes - bytes / 8;
  warming_ = std::make_unique<pool::Background>([this, data, bytes, cap](const std::atomic<bool>& stop) {
    const auto allowed = [&] {
      const std::size_t trees = std::min(pulled_.load(std::memory_order_relaxed), expected_);
      return std::min(cap, static_cast<std::size_t>(static_cast<double>(bytes) * static_cast<double>(trees) /
                                                   static_cast<double>(expected_)));
    };
    // Waits at the cap, not past it, until stopped.
    warmed_ = distances::warm_result_pages(data, bytes, allowed, stop);
  });
}

EarlyResult::~EarlyResult() { warming_.reset(); }

PyRef EarlyResult::take(std::size_t n) {
  warming_.reset();
  if (bytes_ && n == expected_) {
    // What reading left unwarmed is faulted in on every core before the kernel's writes, in
    // batches that spare the kernel one trap per page.
    char* data = PyBytes_AS_STRING(bytes_.get());
    const std::size_t bytes = n * n * element_size_;
    constexpr std::size_t kStep = std::size_t{4} << 20;
    const std::size_t rest = bytes - std::min(bytes, warmed_);
    pool::parallel_for((rest + kStep - 1) / kStep, [&](std::size_t k) {
      const std::size_t at = warmed_ + k * kStep;
      distances::populate_pages(data + at, std::min(kStep, bytes - at));
    });
    return std::move(bytes_);
  }
  bytes_ = PyRef();
  if (n != 0 && n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / element_size_ / n) return PyRef::steal(PyErr_NoMemory());
  PyRef fresh = PyRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * n * element_size_)));
  if (fresh) distances::prepare_result_pages(PyBytes_AS_STRING(fresh.get()), n * n * element_size_);
  return fresh;
}

}  // namespace brantoveil::api
