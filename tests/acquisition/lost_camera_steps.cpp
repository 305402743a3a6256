// Test driver: a GigE Vision camera (Aravis's fake one, through fakegv_camera) dies while one kind
// of camera step runs, and the step must end with an HException that names the camera within
// grab_timeout + 2 s of the death. Each run starts a camera, opens it through HFramegrabber the way
// pulsegrab does (GenICamTL, device "default", guarded steps), makes three trigger-and-grab cycles,
// then
//   command  fires software triggers (TriggerSoftware) one after another while a second thread
//            kills the camera (SIGKILL) after a delay that differs from run to run;
//   write    writes GainRaw over and over while the camera is killed the same way;
//   read     reads GainRaw over and over while the camera is killed the same way;
//   grab     triggers and grabs while the camera kills itself producing its fifth frame (its
//            trigger acknowledged): the fifth grab waits for a frame that never comes.
// One line per run gives the time from the death to the error and to the end of the close that
// follows it (figures; only the hang bound is checked). Exits non-zero when a run breaks the
// bound, fails with something other than an HException naming the camera, or the wrong step
// fails.
//
// Runs GigE Vision discovery: start it only inside a network namespace with nothing but loopback.
// Usage: lost_camera_steps <fakegv_camera> <command|write|read|grab> <runs> <grab_timeout_ms>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <acquisition/steps.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <vision/vision.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The camera process: started with its standard output on a pipe, ready once it printed "ready".
class CameraProcess {
 public:
  CameraProcess(const std::string& program, int die_at_frame) {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {program};
    if (die_at_frame > 0) args.insert(args.end(), {"--die-at-frame", std::to_string(die_at_frame)});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int failed = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (failed != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start " + program);
    }
    char line[16] = {};
    const ssize_t n = read(out[0], line, sizeof line - 1);
    close(out[0]);
    if (n <= 0 || std::string(line).rfind("ready", 0) != 0)
      throw std::runtime_error(program + " did not start");
  }
  ~CameraProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      Reap();
    }
  }
  // Kills the camera; returns the moment just before the signal went out.
  Clock::time_point Kill() {
    const auto when = Clock::now();
    kill(pid_, SIGKILL);
    Reap();
    return when;
  }
  // Waits until the camera process has ended (by itself or killed); returns when it was seen.
  Clock::time_point Reap() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return Clock::now();
  }

 private:
  pid_t pid_ = -1;
};

struct Outcome {
  bool ok = true;
  std::string line;
};

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

Outcome Run(const std::string& program, const std::string& kind, int run, int grab_timeout_ms) {
  constexpr int kWarmUp = 3;
  Outcome outcome;
  auto fail = [&](const std::string& why) {
    outcome.ok = false;
    outcome.line += " FAIL: " + why;
  };
  const bool grab = kind == "grab";
  CameraProcess camera_process(program, grab ? kWarmUp + 2 : 0);

  vision::HFramegrabber camera;
  std::ostringstream log;  // what the guarded steps narrate; shown when a run fails
  acquisition::open_camera(camera, "true", log);
  const std::string serial = camera.GetFramegrabberParam("DeviceID").S().Text();
  camera.SetFramegrabberParam(vision::HTuple("grab_timeout"), vision::HTuple(grab_timeout_ms));
  camera.SetFramegrabberParam("TriggerSource", "Software");
  camera.SetFramegrabberParam("TriggerMode", "On");
  camera.GrabImageStart(-1.0);
  auto trigger = [&] {
    camera.SetFramegrabberParam(vision::HTuple("TriggerSoftware"), vision::HTuple(1));
  };
  for (int i = 0; i < kWarmUp; ++i) {
    trigger();
    camera.GrabImageAsync(-1.0);
  }

  // The death: killed by a second thread after a delay of its own per run, or (grab) seen when
  // the camera process ends by itself.
  std::atomic<bool> dead{false};
  Clock::time_point death{};
  std::thread killer([&] {
    if (grab) {
      death = camera_process.Reap();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50 + 37 * run));
      death = camera_process.Kill();
    }
    dead = true;
  });

  std::optional<Clock::time_point> error_at;
  std::string failed_step;
  std::uint32_t code = 0;
  std::string message;
  // A step as pulsegrab guards it; the moment of its HException and what it said are kept.
  auto step = [&](const char* name, const std::function<void()>& work) {
    const std::string report = std::string("---> ") + name + " failed!\n";
    return acquisition::guarded_step(
        camera, report.c_str(),
        [&] {
          try {
            work();
          } catch (const vision::HException& e) {
            error_at = Clock::now();
            failed_step = name;
            code = e.ErrorCode();
            message = e.ErrorMessage().Text();
            throw;
          }
        },
        log);
  };
  const auto limit = std::chrono::seconds(60);  // far past any bound: the run is a hang
  const auto started = Clock::now();
  std::int64_t gain = 0;
  int status = 0;
  while (status == 0 && Clock::now() - started < limit) {
    if (kind == "command") {
      status = step("trigger", trigger);
    } else if (kind == "write") {
      status = step("write", [&] {
        camera.SetFramegrabberParam(vision::HTuple("GainRaw"), vision::HTuple(gain++ % 8));
      });
    } else if (kind == "read") {
      status = step("read", [&] { camera.GetFramegrabberParam("GainRaw"); });
    } else {
      status = step("trigger", trigger);
      if (status == 0) status = step("grab", [&] { camera.GrabImageAsync(-1.0); });
    }
  }
  const auto closed_at = Clock::now();  // guarded_step has closed the camera by now
  killer.join();

  std::ostringstream line;
  line.setf(std::ios::fixed);
  line.precision(0);
  line << kind << " run " << run + 1 << ":";
  if (!error_at) {
    outcome.line = line.str();
    fail("no step failed within 60 s of the start");
    return outcome;
  }
  const double to_error = Ms(*error_at - death);
  const double to_close = Ms(closed_at - death);
  line << " error " << to_error << " ms after the death, closed after " << to_close << " ms ("
       << failed_step << ", vision error " << code << ")";
  if (run == 0) line << "\n  cause: " << message;
  outcome.line = line.str();
  const double bound = grab_timeout_ms + 2000.0;
  if (!dead) fail("a step failed before the camera died: " + message);
  if (to_error > bound) fail("the error came later than grab_timeout + 2 s");
  if (to_close > bound) fail("the close ended later than grab_timeout + 2 s");
  if (failed_step != (grab ? "grab" : kind == "command" ? "trigger" : kind))
    fail("the wrong step failed: " + message);
  if (!Contains(message, serial))
    fail("the message does not name camera " + serial + ": " + message);
  const bool lost = code == vision::err::kAcqLost;
  if (!lost && !(grab && code == vision::err::kAcqTimeout))
    fail("neither a lost camera nor (grab) a time-out: " + message);
  if (!outcome.ok) outcome.line += "\n" + log.str();
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: lost_camera_steps <fakegv_camera> <command|write|read|grab> <runs> "
                 "<grab_timeout_ms>\n";
    return 2;
  }
  const std::string program = argv[1], kind = argv[2];
  const int runs = std::atoi(argv[3]), grab_timeout_ms = std::atoi(argv[4]);
  if (kind != "command" && kind != "write" && kind != "read" && kind != "grab") {
    std::cerr << "unknown step kind " << kind << "\n";
    return 2;
  }
  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    Outcome outcome;
    try {
      outcome = Run(program, kind, run, grab_timeout_ms);
    } catch (const vision::HException& e) {
      outcome = {false, kind + " run " + std::to_string(run + 1) +
                            " FAIL: before the death: " + e.ErrorMessage().Text()};
    } catch (const std::exception& e) {
      outcome = {false, kind + " run " + std::to_string(run + 1) + " FAIL: " + e.what()};
    }
    std::cout << outcome.line << std::endl;
    failures += outcome.ok ? 0 : 1;
  }
  return failures == 0 ? 0 : 1;
}
