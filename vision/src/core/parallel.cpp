#include "detail/parallel.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "detail/simd.h"
#include "detail/system.h"

namespace vision::detail {

namespace {

// The calling thread's slot: 0, or i + 1 on the pool's worker i.
thread_local int tls_slot = 0;

// Spins until done() holds or about the given time has passed; returns done().
template <class Done>
bool SpinFor(std::chrono::microseconds time, Done done) {
  const auto until = std::chrono::steady_clock::now() + time;
  for (unsigned n = 1; !done(); ++n) {
    if (n % 64 == 0 && std::chrono::steady_clock::now() > until) return done();
    CpuRelax();
  }
  return true;
}

// How long a worker or a waiting caller spins before it sleeps. A search runs several short
// loops in a row, a few tens of microseconds apart; waking a parked thread costs about as much
// as such a loop, so threads stay awake for a moment.
constexpr std::chrono::microseconds kSpin{100};

// A persistent set of worker threads. Starting threads for every parallel loop costs tens of
// microseconds per thread, which is as much as a whole small search; the pool keeps them parked
// on a condition variable between loops instead.
//
// One loop runs on the pool at a time. A loop that finds the pool busy (another caller, or a
// body that itself calls ParallelFor) runs on its caller's thread alone: the results are the
// same, only slower.
class Pool {
 public:
  // Runs body over [begin, end) with the caller and up to helpers workers. Returns false, having
  // done nothing, when the pool is busy.
  bool Run(int begin, int end, int helpers, LoopBody body) {
    std::unique_lock busy(busy_, std::try_to_lock);
    if (!busy.owns_lock()) return false;
    {
      std::lock_guard lock(mutex_);
      AddWorkers(helpers);
      body_ = &body;
      next_.store(begin, std::memory_order_relaxed);
      end_ = end;
      tickets_ = helpers;
      running_ = 0;
      error_ = nullptr;
      generation_.fetch_add(1, std::memory_order_release);
    }
    wake_.notify_all();
    Work();
    SpinFor(kSpin, [this] { return running_.load(std::memory_order_acquire) == 0; });
    std::unique_lock lock(mutex_);
    // Helpers that have not picked up a ticket yet will find the range exhausted; withdraw
    // their tickets so nobody starts late on a finished loop.
    tickets_ = 0;
    done_.wait(lock, [this] { return running_ == 0; });
    body_ = nullptr;
    std::exception_ptr error = error_;
    error_ = nullptr;
    lock.unlock();
    if (error) std::rethrow_exception(error);
    return true;
  }

  // One more than the number of workers.
  int Slots() const { return slots_.load(std::memory_order_relaxed); }

  // Starts workers until there are at least helpers.
  void Start(int helpers) {
    std::lock_guard lock(mutex_);
    AddWorkers(helpers);
  }

  // Wakes the parked workers, which then spin for a while: waking one takes a system call and
  // tens of microseconds before it runs, which the caller's work until its next loop can hide.
  void Alert() {
    {
      std::lock_guard lock(mutex_);
      if (parked_ == 0) return;
      ++alerts_;
    }
    wake_.notify_all();
  }

 private:
  void AddWorkers(int helpers) {  // under mutex_
    while (static_cast<int>(threads_.size()) < helpers) {
      const int slot = static_cast<int>(threads_.size()) + 1;
      threads_.emplace_back([this, slot] {
        tls_slot = slot;
        WorkerLoop();
      });
      slots_.store(slot + 1, std::memory_order_relaxed);
    }
  }

  void Work() {
    for (;;) {
      const int i = next_.fetch_add(1, std::memory_order_relaxed);
      if (i >= end_) return;
      try {
        (*body_)(i);
      } catch (...) {
        std::lock_guard lock(mutex_);
        if (!error_) error_ = std::current_exception();
      }
    }
  }

  void WorkerLoop() {
    std::uint64_t seen = 0, alerts_seen = 0;
    std::unique_lock lock(mutex_);
    for (;;) {
      if (generation_.load(std::memory_order_relaxed) == seen) {
        lock.unlock();
        SpinFor(kSpin, [&] { return generation_.load(std::memory_order_acquire) != seen; });
        lock.lock();
      }
      auto work = [&] {
        return generation_.load(std::memory_order_relaxed) != seen && tickets_ > 0;
      };
      ++parked_;
      wake_.wait(lock, [&] { return work() || alerts_ != alerts_seen; });
      --parked_;
      alerts_seen = alerts_;
      if (!work()) continue;  // alerted: spin for the loop that follows
      seen = generation_.load(std::memory_order_relaxed);
      --tickets_;
      ++running_;
      lock.unlock();
      Work();
      lock.lock();
      if (--running_ == 0) done_.notify_all();
    }
  }

  std::mutex busy_;   // held by the caller whose loop runs on the pool
  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::condition_variable done_;
  std::vector<std::thread> threads_;
  const LoopBody* body_ = nullptr;
  std::atomic<int> next_{0};
  int end_ = 0;
  int tickets_ = 0;
  std::atomic<int> slots_{1};
  int parked_ = 0;               // workers waiting on wake_
  std::uint64_t alerts_ = 0;     // Alert() calls that found parked workers
  std::atomic<int> running_{0};  // changed under the mutex; read without it while spinning
  std::atomic<std::uint64_t> generation_{0};
  std::exception_ptr error_;
};

Pool& ThePool() {
  // Never destroyed: the workers stay parked until the process ends, so no thread is joined
  // during static destruction (which can deadlock when the library is unloaded).
  static Pool* pool = new Pool;
  return *pool;
}

}  // namespace

void StartThreads() {
  const int helpers = ThreadCount() - 1;
  if (helpers > 0) ThePool().Start(helpers);
}

int ThreadSlot() { return tls_slot; }

int ThreadSlots() { return std::max(ThreadCount(), ThePool().Slots()); }

void WakeThreads() {
  if (ThreadCount() > 1) ThePool().Alert();
}

void ParallelFor(int begin, int end, LoopBody body) {
  if (end <= begin) return;
  const int count = end - begin;
  const int threads = std::min(ThreadCount(), count);
  if (threads > 1 && ThePool().Run(begin, end, threads - 1, body)) return;
  std::exception_ptr first_error;
  for (int i = begin; i < end; ++i) {
    try {
      body(i);
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace vision::detail
