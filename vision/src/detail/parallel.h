// The one place that runs library work on several threads. Not installed.
#pragma once

#include <type_traits>

namespace vision::detail {

// A reference to a loop body, any callable taking the index: valid while ParallelFor runs, never
// copied or allocated.
class LoopBody {
 public:
  template <class F>
  requires(!std::is_same_v<std::decay_t<F>, LoopBody>) LoopBody(F&& f)
  noexcept  // NOLINT(google-explicit-constructor)
      : object_(const_cast<void*>(static_cast<const void*>(&f))),
        call_([](void* o, int i) { (*static_cast<std::remove_reference_t<F>*>(o))(i); }) {}
  void operator()(int i) const { call_(object_, i); }

 private:
  void* object_;
  void (*call_)(void*, int);
};

// Calls body(i) for every i in [begin, end), spread over at most ThreadCount() threads (the
// caller's included). Returns when all calls are done; the first exception thrown by a body is
// rethrown here after the others finish. Results must not depend on which thread runs which i.
void ParallelFor(int begin, int end, LoopBody body);

// Which of ParallelFor's threads runs the caller: 0 for any thread not of the pool (a loop's
// caller), 1, 2, ... for the pool's workers. Below ThreadSlots() for every thread a loop started
// after the call can run on, unless the setting "thread_num" grows meanwhile; a body that keeps
// data per slot must check.
int ThreadSlot();
int ThreadSlots();

// Wakes the threads ParallelFor uses if they sleep, for a parallel loop that follows within about
// a hundred microseconds (a search calls it before the work it does alone, so that the threads
// are awake when its first loop starts).
void WakeThreads();

// Starts the threads ParallelFor will use now, so that the first parallel loop does not pay for
// it (the shape model operators call it when a model is made).
void StartThreads();

}  // namespace vision::detail
