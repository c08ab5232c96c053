// The worker threads of the library's heavy phases. A phase cuts its work into items that depend
// only on their inputs and write only their own outputs, works them on as many threads as it is
// given, and commits their results on the caller's thread in item order; so what it writes, prints
// and fails with is the same whatever the number of threads. On one thread nothing else runs: each
// item is worked and then committed on the caller's thread, in order.
#pragma once

#include <functional>

// The cores the process may run on: what a thread count of 0 or less stands for.
int cores_allowed();
// A thread count as asked, or the cores allowed for 0 or less.
int threads_or_cores(int threads);

// A phase for run_ordered.
struct OrderedPhase {
  int threads = 1;  // threads that may work items, the caller's among them; 0 or less: the cores
  int items = 0;
  // Items worked but not yet committed, at most (0: no bound): item i may keep its results in the
  // buffers of slot i % ahead, which no other item uses until item i is committed.
  int ahead = 0;
  // Items worked in order, one after another, on a thread of their own beside the commits: a
  // source that must be read in turn, read ahead of the storing.
  bool one_at_a_time = false;
  // Works an item on any thread; `worker` (0 .. threads - 1) tells apart the threads working at
  // once, for per-thread scratch. 0, or -1 after a failure with r64_error (and errno) set.
  std::function<int(int item, int worker)> work;
  // Commits an item on the caller's thread, items in order, the one whose work failed too (it may
  // keep what was done before the failure), with r64_error and errno then as the work left them.
  // Prints the phase's progress. 0, or -1 after a failure.
  std::function<int(int item)> commit;
};

// Runs the phase: every item worked, on the caller's thread and on helpers of a pool whose threads
// live as long as the process, and committed in order as soon as it and those before it are
// worked. Returns 0, or -1 at the first failure in item order: the commit's own, or else the
// work's, whose r64_error and errno are then restored on the caller's thread, wherever it ran.
// Items after a failed one are not committed and, as far as they were not yet started, not worked.
int run_ordered(const OrderedPhase& phase);

