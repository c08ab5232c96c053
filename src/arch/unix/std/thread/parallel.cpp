// Runs a phase's tasks on the threads in force: the caller and up to n - 1 helpers started for the
// call take task numbers from one counter until none is left. Phases hand over tasks of some
// milliseconds each, so starting the helpers per call costs next to nothing.
#include "parallel.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace {

int cores_allowed() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

int threads_in_force = 0;  // 0 until first asked: the cores allowed

}  // namespace

int parallel_threads() {
  if (threads_in_force == 0) threads_in_force = cores_allowed();
  return threads_in_force;
}

void set_parallel_threads(int n) { threads_in_force = std::max(1, n); }

void parallel_for(int count, const std::function<void(int)>& task) {
  int threads = std::min(parallel_threads(), count);
  if (threads <= 1) {
    for (int i = 0; i < count; ++i) task(i);
    return;
  }
  std::atomic<int> next{0};
  auto work = [&] {
    for (int i = next++; i < count; i = next++) task(i);
  };
  std::vector<std::thread> helpers;
  helpers.reserve(static_cast<size_t>(threads - 1));
  for (int t = 1; t < threads; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // the threads started so far, and the caller, do the work
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
}

bool parallel_pair(const std::function<void()>& first, const std::function<void()>& second) {
  if (parallel_threads() < 2) return false;
  std::thread helper;
  try {
    helper = std::thread(second);
  } catch (const std::system_error&) {
    return false;
  }
  first();
  helper.join();
  return true;
}
