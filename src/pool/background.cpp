// Background tasks, with the fork handling that keeps them from outliving their process.
#include "pool/background.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <system_error>
#include <vector>

namespace brantoveil::pool {

namespace {

// Every running task. Joins happen under this lock, so a fork on one thread and an owner's stop
// on another never join the same thread twice.
std::mutex g_running_lock;
std::vector<Background*> g_running;

void before_fork() {
  g_running_lock.lock();
  Background::stop_all_locked();
}
void after_fork() { g_running_lock.unlock(); }

[[maybe_unused]] const bool g_atfork_registered = [] {
  pthread_atfork(before_fork, after_fork, after_fork);
  return true;
}();

}  // namespace

Background::Background(std::function<void(const std::atomic<bool>& stop)> work) {
  std::lock_guard lock(g_running_lock);
  try {
    thread_ = std::thread([this, work = std::move(work)] { work(stop_); });
  } catch (const std::system_error&) {
    return;  // no thread to be had: the caller's own work covers what this one would have done
  }
  g_running.push_back(this);
}

Background::~Background() { stop(); }

void Background::stop() {
  std::lock_guard lock(g_running_lock);
  stop_locked();
}

void Background::stop_locked() {
  stop_.store(true, std::memory_order_relaxed);
  if (!thread_.joinable()) return;
  thread_.join();
  g_running.erase(std::find(g_running.begin(), g_running.end(), this));
}

void Background::stop_all_locked() {
  // stop_locked() removes each task from the registry as it goes.
  while (!g_running.empty()) g_running.back()->stop_locked();
}

}  // namespace brantoveil::pool
