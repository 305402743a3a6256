#include "detail/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "detail/system.h"

namespace vision::detail {

void ParallelFor(int begin, int end, const std::function<void(int)>& body) {
  if (end <= begin) return;
  const int count = end - begin;
  const int threads = std::min(ThreadCount(), count);
  if (threads <= 1) {
    for (int i = begin; i < end; ++i) body(i);
    return;
  }
  // Work is handed out one index at a time from a shared counter, so uneven items balance out.
  std::atomic<int> next{begin};
  std::exception_ptr first_error;
  std::mutex error_mutex;
  auto worker = [&] {
    for (;;) {
      const int i = next.fetch_add(1, std::memory_order_relaxed);
      if (i >= end) return;
      try {
        body(i);
      } catch (...) {
        std::lock_guard lock(error_mutex);
        if (!first_error) first_error = std::current_exception();
      }
    }
  };
  std::vector<std::thread> pool;
  pool.reserve(static_cast<std::size_t>(threads - 1));
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace vision::detail
