// Producer calls that may block, made where the caller can stop waiting for them.
//
// A producer that blocks (in GCReadPort, EventGetData, IFOpenDevice, DSStopAcquisition, ...)
// must not keep an operator waiting past its time-out. A CallLane is a thread of its own that
// makes such calls; the caller waits at most a limit for each. When the limit passes, the call
// is abandoned: it keeps running on the lane's thread, and whatever it uses must stay alive
// until it returns, which Keep arranges: the producer is neither closed nor unloaded, and the
// handles and memory it was given are not freed, while an abandoned call still runs. The work
// of a call may therefore touch only memory that outlives it (never the caller's stack).
//
// Thread safety: Run, Busy and Keep may be called from any thread; one Run at a time.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

namespace vision::detail::camera::gentl {

class CallLane {
 public:
  CallLane();
  // Ends the lane's thread; one still running an abandoned call is left to end on its own.
  ~CallLane();
  CallLane(const CallLane&) = delete;
  CallLane& operator=(const CallLane&) = delete;

  // Runs work on the lane's thread and waits at most limit for it to end: true when it did (an
  // exception it raised is raised here). False when the limit passed (the call is abandoned),
  // and at once while an abandoned call still runs.
  bool Run(std::function<void()> work, std::chrono::milliseconds limit);
  // Whether an abandoned call still runs.
  bool Busy() const;
  // Keeps keep alive until the abandoned call returns (then lets it go on the lane's thread);
  // lets it go at once when no abandoned call runs.
  void Keep(std::shared_ptr<void> keep);

  // The lane's state, shared with its thread (which may outlive the lane).
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

}  // namespace vision::detail::camera::gentl
