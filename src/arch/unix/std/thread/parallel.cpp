// The ordered-parallel primitive of the heavy phases and the pool of helpers it runs on. Items are
// claimed in order under the run's lock; the caller commits them in order and, while the next one
// is not ready, works items itself (allocate serially, work in parallel, commit and report on the
// caller). The pool's threads are started when a run first needs them and then wait for the next
// run: a phase costs no thread creation.
#include "parallel.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "r64.hpp"

namespace {

// The error state a failed item leaves on its thread, carried to the caller's.
struct ThreadErrors {
  int code = 0;
  int system = 0;  // r64_errno
  int error = 0;   // errno

  static ThreadErrors capture() { return ThreadErrors{r64_error, r64_errno, errno}; }
  void restore() const {
    r64_error = code;
    r64_errno = system;
    errno = error;
  }
};

// Every item on the caller's thread: worked, then committed, in order.
int run_plainly(const OrderedPhase& phase) {
  for (int item = 0; item < phase.items; ++item) {
    const bool worked = phase.work(item, 0) == 0;
    const ThreadErrors errors = worked ? ThreadErrors{} : ThreadErrors::capture();
    if (phase.commit(item) < 0) return -1;
    if (!worked) {
      errors.restore();
      return -1;
    }
  }
  return 0;
}

// One run of a phase on the caller and its helpers.
class Run {
 public:
  Run(const OrderedPhase& phase, int ahead)
      : phase_(phase), ahead_(ahead), stop_at_(phase.items), slots_(static_cast<size_t>(ahead)) {}

  // A helper of the pool: works items until none is left to claim.
  void help(int worker) {
    std::unique_lock lock(mutex_);
    while (next_ < stop_at_) {
      if (claimable())
        work(next_++, worker, lock);
      else
        changed_.wait(lock);  // the window is full, or the one item in turn is being worked
    }
    --helpers_;
    changed_.notify_all();  // under the lock: the caller may go as soon as it sees none left
  }

  // The caller: commits the items in order, working items itself while it waits, unless they are
  // worked one at a time beside it. Returns 0, or -1 at the first failure, with the errors of the
  // work in *failed_work when it was the work that failed (*work_failed); stops the claims.
  int drive(ThreadErrors* failed_work, bool* work_failed) {
    std::unique_lock lock(mutex_);
    int result = 0;
    for (int item = 0; item < phase_.items && result == 0; ++item) {
      Slot& slot = slot_of(item);
      while (!slot.done) {
        if (!phase_.one_at_a_time && claimable())
          work(next_++, 0, lock);
        else
          changed_.wait(lock);
      }
      const Slot worked = slot;
      slot = Slot{};
      lock.unlock();
      if (worked.failed) worked.errors.restore();  // the commit sees the failure as on one thread
      const bool committed = phase_.commit(item) == 0;
      lock.lock();
      committed_ = item + 1;
      if (!committed || worked.failed) {
        result = -1;
        *work_failed = committed;  // a commit's own failure comes first
        *failed_work = worked.errors;
      }
      changed_.notify_all();
    }
    stop_at_ = std::min(stop_at_, next_);
    changed_.notify_all();
    return result;
  }

  // Waits until every helper lent has gone, less `untaken` that never came.
  void wait_for_helpers(int lent, int untaken) {
    std::unique_lock lock(mutex_);
    helpers_ += lent - untaken;
    changed_.wait(lock, [this] { return helpers_ == 0; });
  }

 private:
  struct Slot {
    bool done = false;
    bool failed = false;
    ThreadErrors errors;
  };

  Slot& slot_of(int item) { return slots_[static_cast<size_t>(item % ahead_)]; }

  bool claimable() const {
    return next_ < stop_at_ && next_ < committed_ + ahead_ && !(phase_.one_at_a_time && working_ > 0);
  }

  // Works `item` outside the lock and records how it went.
  void work(int item, int worker, std::unique_lock<std::mutex>& lock) {
    ++working_;
    lock.unlock();
    const bool worked = phase_.work(item, worker) == 0;
    const ThreadErrors errors = worked ? ThreadErrors{} : ThreadErrors::capture();
    lock.lock();
    --working_;
    Slot& slot = slot_of(item);
    slot = Slot{true, !worked, errors};
    if (!worked) stop_at_ = std::min(stop_at_, item + 1);
    changed_.notify_all();
  }

  const OrderedPhase& phase_;
  const int ahead_;
  std::mutex mutex_;
  std::condition_variable changed_;  // an item worked or committed, a helper gone
  int next_ = 0;                     // the next item to claim
  int committed_ = 0;
  int stop_at_;                      // no item from here on is claimed
  int working_ = 0;                  // items being worked
  int helpers_ = 0;                  // helpers lent and not yet gone
  std::vector<Slot> slots_;          // item % ahead: how the item's work went
};

// Threads that live as long as the process and help whichever run hands them a ticket. Every
// ticket handed out has a thread free for it, so no run waits for a helper another run holds.
class Pool;
Pool& pool();

class Pool {
 public:
  Pool() { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); }

  // Hands `count` helpers to `run`, starting threads as needed; returns how many it could.
  int lend(Run* run, int count, int first_worker) {
    std::lock_guard lock(mutex_);
    int lent = 0;
    for (; lent < count; ++lent) {
      if (free_ == static_cast<int>(tickets_.size()) && !start_thread()) break;
      tickets_.push_back(Ticket{run, first_worker + lent});
    }
    wake_.notify_all();
    return lent;
  }

  // Takes back the tickets of `run` no thread has taken yet; returns how many.
  int take_back(Run* run) {
    std::lock_guard lock(mutex_);
    auto untaken = std::remove_if(tickets_.begin(), tickets_.end(), [run](const Ticket& t) { return t.run == run; });
    int count = static_cast<int>(tickets_.end() - untaken);
    tickets_.erase(untaken, tickets_.end());
    return count;
  }

 private:
  // A child of fork() has none of the pool's threads: it starts over with none, and with a lock and
  // a condition that no thread of the parent can be holding or waiting on (the lock is taken across
  // the fork so that the tickets are not caught half changed).
  static void before_fork() { pool().mutex_.lock(); }
  static void after_fork_in_parent() { pool().mutex_.unlock(); }
  static void after_fork_in_child() {
    Pool& p = pool();
    p.tickets_.clear();
    p.free_ = 0;
    new (&p.mutex_) std::mutex;
    new (&p.wake_) std::condition_variable;
  }

  struct Ticket {
    Run* run;
    int worker;
  };

  bool start_thread() {
    try {
      std::thread([this] { serve(); }).detach();
    } catch (const std::system_error&) {
      return false;
    }
    ++free_;
    return true;
  }

  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return !tickets_.empty(); });
      const Ticket ticket = tickets_.front();
      tickets_.pop_front();
      --free_;
      lock.unlock();
      ticket.run->help(ticket.worker);
      lock.lock();
      ++free_;
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Ticket> tickets_;
  int free_ = 0;  // threads not helping a run
};

// Never destroyed: its threads may still wait for tickets while the process exits.
Pool& pool() {
  static Pool* const the_pool = new Pool;
  return *the_pool;
}

}  // namespace

int cores_allowed() {
  static const int cores = [] {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }();
  return cores;
}

int threads_or_cores(int threads) { return threads > 0 ? threads : cores_allowed(); }

int run_ordered(const OrderedPhase& phase) {
  const int threads = std::min(threads_or_cores(phase.threads), std::max(phase.items, 1));
  // Items worked one at a time overlap the commits only when there are two or more of them.
  const int helpers = phase.one_at_a_time ? (threads > 1 && phase.items > 1 ? 1 : 0) : threads - 1;
  if (helpers == 0) return run_plainly(phase);
  const int ahead = phase.ahead > 0 ? std::min(phase.ahead, phase.items) : phase.items;
  Run run(phase, ahead);
  const int lent = pool().lend(&run, helpers, phase.one_at_a_time ? 0 : 1);
  if (lent == 0) return run_plainly(phase);
  ThreadErrors errors;
  bool work_failed = false;
  const int result = run.drive(&errors, &work_failed);
  run.wait_for_helpers(lent, pool().take_back(&run));
  if (work_failed) errors.restore();
  return result;
}
