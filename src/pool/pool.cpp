// Fork-join pool with per-loop jobs: concurrent callers, inline nesting, and a fresh pool after fork().
#include "pool/pool.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace brantoveil::pool {

namespace {

// One parallel loop. It lives on the stack of the thread that started it; that thread does not
// return before every worker that joined the job has left it (`guests` back to zero).
struct Job {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t size = 0;
  std::atomic<std::size_t> next{0};
  std::size_t guests = 0;  // workers inside the job; guarded by the pool mutex
};

thread_local bool t_in_task = false;
thread_local Pool* t_current = nullptr;
thread_local StopCheck* t_stop_check = nullptr;
thread_local LoopWait* t_loop_wait = nullptr;
thread_local bool t_stopped = false;
thread_local std::chrono::steady_clock::time_point t_last_check{};

// A check may retake the interpreter lock; asking more often than this gains nothing.
constexpr std::chrono::milliseconds kCheckInterval{5};
// Batches are grown or shrunk to stay within this span, so a stop is seen within about 0.1 s.
constexpr std::chrono::milliseconds kBatchShortest{20};
constexpr std::chrono::milliseconds kBatchLongest{80};

// Marks the calling thread as running a task for the guard's lifetime.
class TaskScope {
 public:
  TaskScope() : outer_(t_in_task) { t_in_task = true; }
  ~TaskScope() { t_in_task = outer_; }
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;

 private:
  bool outer_;
};

// An exception must not leave a task: unwinding the caller's frames would free buffers that
// other workers are still writing. Out of memory there ends the process, with a message.
void run_task(const std::function<void(std::size_t)>& body, std::size_t i) noexcept {
  try {
    body(i);
  } catch (const std::bad_alloc&) {
    std::fputs("brantoveil: out of memory in a parallel task; ending the process\n", stderr);
    std::abort();
  } catch (...) {
    std::fputs("brantoveil: internal error: an exception escaped a parallel task; ending the process\n", stderr);
    std::abort();
  }
}

// Tells the calling thread's loop hook about an outermost loop for the guard's lifetime.
class OutermostLoop {
 public:
  OutermostLoop() : wait_(t_in_task ? nullptr : t_loop_wait) {
    if (wait_ != nullptr) wait_->enter();
  }
  ~OutermostLoop() {
    if (wait_ != nullptr) wait_->leave();
  }
  OutermostLoop(const OutermostLoop&) = delete;
  OutermostLoop& operator=(const OutermostLoop&) = delete;

 private:
  LoopWait* wait_;
};

// Claims and runs indices until none are left to claim.
void run_indices(Job& job) noexcept {
  TaskScope task;
  for (;;) {
    const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
    if (i >= job.size) break;
    run_task(*job.body, i);
  }
}

}  // namespace

struct Pool::State {
  std::size_t threads = 1;
  std::mutex mutex;
  std::condition_variable work;    // workers wait here for jobs
  std::condition_variable leaves;  // callers wait here for guests to leave
  std::deque<Job*> jobs;           // jobs with indices still to claim
  bool stopping = false;           // workers leave; new loops wait until it is false again
  std::size_t loops = 0;           // loops running on the workers' path
  std::vector<std::thread> workers;

  // Called with the mutex held and `stopping` false.
  void start_workers() {
    workers.reserve(threads - 1);
    for (std::size_t i = 1; i < threads; ++i) workers.emplace_back([this] { worker_loop(); });
  }

  void worker_loop() {
    std::unique_lock lock(mutex);
    for (;;) {
      work.wait(lock, [&] { return stopping || !jobs.empty(); });
      if (stopping) return;
      Job* job = jobs.front();
      // Rotate so that concurrent callers' jobs share the workers.
      jobs.pop_front();
      jobs.push_back(job);
      ++job->guests;
      lock.unlock();
      run_indices(*job);
      lock.lock();
      // Exhausted jobs leave the queue so workers stop picking them.
      for (auto it = jobs.begin(); it != jobs.end(); ++it) {
        if (*it == job) {
          jobs.erase(it);
          break;
        }
      }
      if (--job->guests == 0) leaves.notify_all();
    }
  }
};

Pool::Pool(std::size_t threads) : state_(std::make_unique<State>()) {
  state_->threads = threads == 0 ? 1 : threads;
  std::lock_guard lock(state_->mutex);
  state_->start_workers();
}

Pool::~Pool() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = true;
  }
  state_->work.notify_all();
  for (auto& worker : state_->workers) worker.join();
}

std::size_t Pool::threads() const { return state_->threads; }

void Pool::parallel_for(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (n == 0) return;
  const OutermostLoop outermost;
  // Inline when there is nobody to share with, or when called from inside a task (no deadlock).
  // No worker shares such a loop, so an exception may leave it (inside a task, that task ends
  // the process).
  if (state_->threads == 1 || n == 1 || t_in_task) {
    TaskScope task;
    for (std::size_t i = 0; i < n; ++i) body(i);
    return;
  }
  Job job;
  job.body = &body;
  job.size = n;
  {
    std::unique_lock lock(state_->mutex);
    // Workers stopped for a fork come back here, on the first loop after it.
    state_->leaves.wait(lock, [&] { return !state_->stopping; });
    if (state_->workers.empty()) state_->start_workers();
    ++state_->loops;
    state_->jobs.push_back(&job);
  }
  state_->work.notify_all();
  run_indices(job);
  // Every claimed index belongs to the caller or to a guest; once the job is out of the queue no
  // new guest can join, so "no guests left" means every index has run.
  std::unique_lock lock(state_->mutex);
  for (auto it = state_->jobs.begin(); it != state_->jobs.end(); ++it) {
    if (*it == &job) {
      state_->jobs.erase(it);
      break;
    }
  }
  // Guests leave under the mutex, so their writes are visible to the caller from here on.
  state_->leaves.wait(lock, [&] { return job.guests == 0; });
  --state_->loops;
}

bool Pool::stop_idle_workers() {
  std::vector<std::thread> leaving;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->loops != 0 || state_->stopping) return state_->workers.empty();
    state_->stopping = true;
    leaving.swap(state_->workers);
  }
  state_->work.notify_all();
  for (std::thread& worker : leaving) worker.join();
  {
    std::lock_guard lock(state_->mutex);
    state_->stopping = false;
  }
  state_->leaves.notify_all();
  return true;
}

std::size_t cpu_count() {
#if defined(__linux__)
  // The CPUs this process may run on (a container or `taskset` may allow fewer than the machine has).
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
#endif
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware == 0 ? 1 : hardware;
}

namespace {

// The process-wide pool is never destroyed: joining workers from static destructors can hang at
// exit. Before fork() its idle workers are joined, so the fork sees a single-threaded process
// (interpreters warn otherwise); busy ones cannot be, and then the child's copy refers to threads
// that do not exist. Either way the child drops the pointer (leaking the parent's pool object)
// and builds a fresh pool on first use.
std::atomic<Pool*> g_pool{nullptr};
std::mutex g_create;
std::size_t g_requested = 0;  // guarded by g_create; 0 until set_global_threads

// Past this a count is a typo, not a machine.
constexpr std::size_t kMaxThreads = 4096;

// Called with g_create held.
std::size_t starting_size() {
  if (g_requested != 0) return g_requested;
  const std::size_t from_environment = threads_from_environment();
  return from_environment != 0 ? from_environment : cpu_count();
}

void before_fork() {
  g_create.lock();
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) pool->stop_idle_workers();
}
void after_fork_parent() { g_create.unlock(); }
void after_fork_child() {
  g_pool.store(nullptr, std::memory_order_relaxed);
  g_create.unlock();
}

[[maybe_unused]] const bool g_atfork_registered = [] {
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
  return true;
}();

}  // namespace

Pool& global() {
  Pool* pool = g_pool.load(std::memory_order_acquire);
  if (pool != nullptr) return *pool;
  std::lock_guard lock(g_create);
  pool = g_pool.load(std::memory_order_acquire);
  if (pool == nullptr) {
    pool = new Pool(starting_size());
    g_pool.store(pool, std::memory_order_release);
  }
  return *pool;
}

bool set_global_threads(std::size_t threads) {
  if (threads == 0 || threads > kMaxThreads) return false;
  std::lock_guard lock(g_create);
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool->threads() == threads;
  g_requested = threads;
  return true;
}

std::size_t global_threads() {
  std::lock_guard lock(g_create);
  if (Pool* pool = g_pool.load(std::memory_order_acquire)) return pool->threads();
  return starting_size();
}

std::size_t threads_from_environment() {
  const char* text = std::getenv("BRANTOVEIL_THREADS");
  if (text == nullptr || *text == '\0') return 0;
  std::size_t value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return 0;
    value = value * 10 + static_cast<std::size_t>(*c - '0');
    if (value > kMaxThreads) return 0;
  }
  return value;
}

Pool& current() { return t_current != nullptr ? *t_current : global(); }

ScopedPool::ScopedPool(Pool& pool) : previous_(t_current) { t_current = &pool; }
ScopedPool::~ScopedPool() { t_current = previous_; }

ScopedLoopWait::ScopedLoopWait(LoopWait& wait) : previous_(t_loop_wait) { t_loop_wait = &wait; }
ScopedLoopWait::~ScopedLoopWait() { t_loop_wait = previous_; }

ScopedStopCheck::ScopedStopCheck(StopCheck& check) : previous_(t_stop_check), previous_stopped_(t_stopped) {
  t_stop_check = &check;
  t_stopped = false;
  t_last_check = {};
}

ScopedStopCheck::~ScopedStopCheck() {
  t_stop_check = previous_;
  t_stopped = previous_stopped_;
}

bool stop_requested() {
  if (t_stopped) return true;
  if (t_stop_check == nullptr || t_in_task) return false;
  const auto now = std::chrono::steady_clock::now();
  if (now - t_last_check < kCheckInterval) return false;
  t_last_check = now;
  t_stopped = t_stop_check->stop_requested();
  return t_stopped;
}

bool stopped() { return t_stopped; }

bool parallel_for_batches(std::size_t n, const std::function<void(std::size_t)>& body) {
  if (t_stop_check == nullptr || t_in_task) {
    parallel_for(n, body);
    return true;
  }
  // Batch sizes adapt to the time a batch took, so the cost of one index need not be known.
  std::size_t done = 0;
  // A batch never holds fewer indices than threads: below that, cores idle at every batch's end (and
  // a batch of one runs on the calling thread alone).
  const std::size_t threads = thread_count();
  std::size_t batch = threads;
  while (done < n) {
    if (stop_requested()) return false;
    const std::size_t take = std::min(batch, n - done);
    const auto start = std::chrono::steady_clock::now();
    parallel_for(take, [&](std::size_t k) { body(done + k); });
    done += take;
    const auto took = std::chrono::steady_clock::now() - start;
    if (took < kBatchShortest) {
      batch *= 2;
    } else if (took > kBatchLongest && batch > threads) {
      batch = std::max(threads, batch / 2);
    }
  }
  return true;
}

}  // namespace brantoveil::pool
