#include "camera/gentl/lane.h"

#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace vision::detail::camera::gentl {

struct CallLane::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::function<void()> job;
  bool has_job = false;
  bool running = false;
  bool abandoned = false;  // the running job's caller stopped waiting
  bool quit = false;
  unsigned long long finished = 0;  // jobs ended so far
  std::exception_ptr failure;       // of the last job
  std::vector<std::shared_ptr<void>> kept;
  std::thread thread;
};

namespace {

void Serve(std::shared_ptr<CallLane::Shared> lane) {
  std::unique_lock<std::mutex> lock(lane->mutex);
  for (;;) {
    lane->changed.wait(lock, [&] { return lane->has_job || lane->quit; });
    if (!lane->has_job) return;
    std::function<void()> job = std::move(lane->job);
    lane->has_job = false;
    lane->running = true;
    lock.unlock();
    std::exception_ptr failure;
    try {
      job();
    } catch (...) {
      failure = std::current_exception();
    }
    job = nullptr;  // what the work held goes before what was kept for it
    lock.lock();
    lane->running = false;
    lane->abandoned = false;
    lane->failure = failure;
    ++lane->finished;
    std::vector<std::shared_ptr<void>> kept = std::move(lane->kept);
    lane->kept.clear();
    lane->changed.notify_all();
    lock.unlock();
    // May close the camera, the producer, and this lane itself (which then lets the thread go).
    kept.clear();
    lock.lock();
  }
}

}  // namespace

CallLane::CallLane() : shared_(std::make_shared<Shared>()) {
  shared_->thread = std::thread(Serve, shared_);
}

CallLane::~CallLane() {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  shared_->quit = true;
  shared_->changed.notify_all();
  const bool wait = !shared_->running && shared_->thread.get_id() != std::this_thread::get_id();
  std::thread thread = std::move(shared_->thread);
  lock.unlock();
  if (wait)
    thread.join();
  else
    thread.detach();  // it ends after the abandoned call, holding what it needs
}

bool CallLane::Run(std::function<void()> work, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (shared_->running || shared_->has_job) return false;
  shared_->job = std::move(work);
  shared_->has_job = true;
  const unsigned long long target = shared_->finished + 1;
  shared_->changed.notify_all();
  if (!shared_->changed.wait_for(lock, limit, [&] { return shared_->finished >= target; })) {
    shared_->abandoned = true;
    return false;
  }
  if (std::exception_ptr failure = std::exchange(shared_->failure, nullptr))
    std::rethrow_exception(failure);
  return true;
}

bool CallLane::Busy() const {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  return shared_->running || shared_->has_job;
}

void CallLane::Keep(std::shared_ptr<void> keep) {
  std::unique_lock<std::mutex> lock(shared_->mutex);
  if (shared_->running || shared_->has_job) {
    shared_->kept.push_back(std::move(keep));
    return;
  }
  lock.unlock();
  keep.reset();
}

}  // namespace vision::detail::camera::gentl
