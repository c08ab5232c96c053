// The ordered-parallel primitive on its own: commits in item order, the first failure in item
// order reported with its errno whichever thread met it, and a pool still usable in a child of
// fork() (Python's multiprocessing forks processes that already ran a phase).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "parallel.hpp"
#include "r64.hpp"

namespace {

// Runs `items` items on `threads` threads; item `failing` (if any) fails with EIO. Returns the
// result and the items committed, in commit order.
int run_items(int threads, int items, int failing, std::vector<int>* committed) {
  OrderedPhase phase;
  phase.threads = threads;
  phase.items = items;
  phase.ahead = 3;
  phase.work = [failing](int item, int) {
    if (item != failing) return 0;
    r64_error = -1;
    errno = EIO;
    return -1;
  };
  phase.commit = [committed](int item) {
    committed->push_back(item);
    return 0;
  };
  return run_ordered(phase);
}

TEST(RunOrdered, CommitsInOrderAndStopsAtTheFirstFailureWithItsErrno) {
  for (int threads : {1, 2, 4}) {
    std::vector<int> committed;
    ASSERT_EQ(run_items(threads, 50, -1, &committed), 0);
    std::vector<int> all(50);
    for (int i = 0; i < 50; ++i) all[i] = i;
    EXPECT_EQ(committed, all) << threads << " threads";

    committed.clear();
    errno = 0;
    r64_error = 0;
    EXPECT_EQ(run_items(threads, 50, 17, &committed), -1);
    EXPECT_EQ(errno, EIO) << threads << " threads";
    EXPECT_EQ(r64_error, -1);
    ASSERT_FALSE(committed.empty());
    EXPECT_EQ(committed.back(), 17) << "the failing item is committed last";
  }
}

// Whether two items of one phase are worked at the same time: item 0 waits for item 1.
bool works_two_items_at_once() {
  std::atomic<bool> second_worked = false;
  OrderedPhase phase;
  phase.threads = 2;
  phase.items = 2;
  phase.work = [&second_worked](int item, int) {
    if (item == 1) second_worked = true;
    for (int waited = 0; item == 0 && !second_worked && waited < 5000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return second_worked ? 0 : -1;
  };
  phase.commit = [](int) { return 0; };
  return run_ordered(phase) == 0;
}

TEST(RunOrdered, AChildOfForkRunsPhasesOnItsOwnThreads) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer stops a child of a threaded process that starts threads";
#elif defined(__SANITIZE_ADDRESS__)
  // A fork while a new thread is still inside AddressSanitizer's thread start leaves the runtime's
  // lock taken in the child, whose own new threads then never run: a limit of the runtime.
  GTEST_SKIP() << "AddressSanitizer's runtime does not survive a fork while threads start";
#endif
  std::vector<int> committed;
  ASSERT_EQ(run_items(4, 40, -1, &committed), 0);  // the pool's threads are running
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    alarm(20);  // a pool waiting on its parent's threads would hang here
    std::vector<int> in_child;
    const bool ok = run_items(4, 40, -1, &in_child) == 0 && in_child.size() == 40 && works_two_items_at_once();
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "the child was killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  committed.clear();
  EXPECT_EQ(run_items(4, 40, -1, &committed), 0);  // and the parent's pool still works
}

}  // namespace
