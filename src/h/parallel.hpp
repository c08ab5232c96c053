// The worker threads of the library's parallel phases. A phase splits its work into tasks that
// depend only on their inputs and write only their own outputs, so its results are the same
// whatever the number of threads; one thread runs every task on the caller's thread, in order.
#pragma once

#include <functional>

// The threads in force: by default the cores the process may run on.
int parallel_threads();
// Sets the threads in force (at least 1).
void set_parallel_threads(int n);
// Runs task(0) .. task(count - 1) spread over the threads in force, the caller's among them, and
// returns when all are done.
void parallel_for(int count, const std::function<void(int)>& task);
// Runs `first` on the caller's thread and `second` on a helper at the same time, for a phase
// whose two halves wait on each other; false, running neither, when fewer than two threads are in
// force or no helper can be started.
bool parallel_pair(const std::function<void()>& first, const std::function<void()>& second);
