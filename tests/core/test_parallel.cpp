// The library's thread pool: every index once, errors passed on, nesting and concurrent callers,
// and many short loops in a row (workers spin briefly between loops before they sleep).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include <vision/vision.h>

#include "detail/parallel.h"

using vision::detail::ParallelFor;

namespace {

// Sets "thread_num" for one test and puts the default back afterwards.
class Threads {
 public:
  explicit Threads(int n) { vision::SetSystem("thread_num", n); }
  ~Threads() { vision::SetSystem("thread_num", "default"); }
};

// Runs [begin, end) and checks that every index was visited exactly once.
void ExpectEachOnce(int begin, int end) {
  std::vector<std::atomic<int>> hits(std::size_t(end > begin ? end - begin : 0));
  ParallelFor(begin, end, [&](int i) { hits[std::size_t(i - begin)].fetch_add(1); });
  for (std::size_t k = 0; k < hits.size(); ++k) {
    ASSERT_EQ(hits[k].load(), 1) << "index " << begin + int(k) << " of [" << begin << ", " << end
                                 << ")";
  }
}

}  // namespace

TEST(ParallelFor, EveryIndexExactlyOnceForAnyRangeAndThreadCount) {
  for (int threads : {1, 2, 3, 8}) {
    Threads t(threads);
    ExpectEachOnce(0, 0);
    ExpectEachOnce(5, 3);  // empty
    ExpectEachOnce(0, 1);
    ExpectEachOnce(-7, 9);
    ExpectEachOnce(0, 1000);
  }
}

TEST(ParallelFor, ManyShortLoopsInARowNeitherHangNorLoseWork) {
  Threads t(4);
  long total = 0;
  for (int loop = 0; loop < 20000; ++loop) {
    std::atomic<int> sum{0};
    ParallelFor(0, 1 + loop % 5, [&](int i) { sum.fetch_add(i + 1); });
    const int n = 1 + loop % 5;
    ASSERT_EQ(sum.load(), n * (n + 1) / 2) << "loop " << loop;
    total += sum.load();
    // Now and then a pause long enough for the workers to go to sleep.
    if (loop % 1000 == 999) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_GT(total, 0);
}

// Waking sleeping workers ahead of a loop (what a search does before its work alone): alerts with
// no loop after them, alerts right before loops, alerts from another thread while loops run, and
// with one thread. An alert must never let a worker take an index twice or strand a loop.
TEST(ParallelFor, WakingTheThreadsAheadOfLoopsLosesNoWork) {
  using vision::detail::WakeThreads;
  for (int threads : {1, 2, 4}) {
    Threads t(threads);
    for (int round = 0; round < 200; ++round) {
      WakeThreads();
      if (round % 3 == 0) WakeThreads();  // twice before one loop
      if (round % 50 == 49) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ExpectEachOnce(0, 1 + round % 7);
    }
    WakeThreads();  // and none after it
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Threads t(3);
  std::atomic<bool> stop{false};
  std::thread alerter([&] {
    while (!stop.load()) {
      WakeThreads();
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
  });
  for (int loop = 0; loop < 2000; ++loop) {
    ExpectEachOnce(0, 1 + loop % 9);
    if (loop % 500 == 499) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  stop = true;
  alerter.join();
}

// Data kept per thread slot is safe only if no two threads that run one loop share a slot: the
// caller is slot 0, every worker has its own slot below ThreadSlots().
TEST(ParallelFor, ThreadSlotsAreDistinctAndWithinTheirCount) {
  using vision::detail::ThreadSlot;
  using vision::detail::ThreadSlots;
  EXPECT_EQ(ThreadSlot(), 0);
  for (int threads : {1, 2, 4}) {
    Threads t(threads);
    const int slots = ThreadSlots();
    EXPECT_GE(slots, threads);
    std::vector<std::atomic<int>> busy(std::size_t(slots) + 8);
    std::atomic<bool> shared{false}, outside{false};
    for (int loop = 0; loop < 200; ++loop) {
      ParallelFor(0, 16, [&](int) {
        const int slot = ThreadSlot();
        if (slot < 0 || slot >= slots) {
          outside = true;
          return;
        }
        if (busy[std::size_t(slot)].fetch_add(1) != 0) shared = true;
        std::this_thread::yield();
        busy[std::size_t(slot)].fetch_sub(1);
      });
    }
    EXPECT_FALSE(outside.load()) << threads << " threads";
    EXPECT_FALSE(shared.load()) << threads << " threads";
  }
}

TEST(ParallelFor, FirstErrorIsRethrownAfterTheOtherItemsAndThePoolStaysUsable) {
  Threads t(3);
  std::atomic<int> done{0};
  EXPECT_THROW(ParallelFor(0, 100,
                           [&](int i) {
                             if (i % 10 == 3) throw std::runtime_error("item failed");
                             done.fetch_add(1);
                           }),
               std::runtime_error);
  EXPECT_EQ(done.load(), 90);
  ExpectEachOnce(0, 100);
}

TEST(ParallelFor, NestedLoopsAndConcurrentCallersComplete) {
  Threads t(2);
  std::atomic<int> inner{0};
  ParallelFor(0, 8, [&](int) { ParallelFor(0, 8, [&](int) { inner.fetch_add(1); }); });
  EXPECT_EQ(inner.load(), 64);

  std::vector<std::thread> callers;
  std::atomic<int> failures{0};
  for (int c = 0; c < 4; ++c) {
    callers.emplace_back([&] {
      for (int loop = 0; loop < 500; ++loop) {
        std::atomic<int> n{0};
        ParallelFor(0, 16, [&](int) { n.fetch_add(1); });
        if (n.load() != 16) failures.fetch_add(1);
      }
    });
  }
  for (auto& c : callers) c.join();
  EXPECT_EQ(failures.load(), 0);
}
