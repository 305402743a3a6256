#include "acquisition/steps.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <vision/HTuple.h>

namespace acquisition {

const char* platform_banner() {
#if defined(_WIN32)
  return "---> WINDOWS PLATFORM \n";
#elif defined(__linux__)
  return "---> LINUX PLATFORM \n";
#else
  return "---> POSIX PLATFORM \n";
#endif
}

int exit_status(std::uint32_t code) {
#if defined(_WIN32)
  return code == 0 ? 1 : static_cast<int>(code);
#else
  return code % 256 == 0 ? 1 : static_cast<int>(code);
#endif
}

void open_camera(vision::HFramegrabber& camera, const char* external_trigger, std::ostream& out) {
  using vision::Hlong;
  using vision::HTuple;
  const char* interface_name = "GenICamTL";
  out << "---> [ OpenFramegrabber ( " << interface_name << " ) ...\n";
  camera.OpenFramegrabber(HTuple(interface_name), HTuple(Hlong{0}), HTuple(Hlong{0}),
                          HTuple(Hlong{0}), HTuple(Hlong{0}), HTuple(Hlong{0}), HTuple(Hlong{0}),
                          HTuple("default"), HTuple(Hlong{8}), HTuple("default"), HTuple(-1.0),
                          HTuple(external_trigger), HTuple("default"), HTuple("default"),
                          HTuple(Hlong{-1}), HTuple(Hlong{-1}));
  out << "\n---> OpenFramegrabber ... ]\n";
}

int guarded_step(vision::HFramegrabber& camera, const char* failure_text,
                 const std::function<void()>& step, std::ostream& out) {
  std::uint32_t code = 0;
  try {
    step();
    return 0;
  } catch (const vision::HException& e) {
    code = e.ErrorCode();
    out << failure_text;
    out << "---> Cause: " << e.ErrorMessage().TextA() << "(vision error " << code << ")\n";
    out << "---> CloseFramegrabber!\n";
  }
  // Outside the handler: a failing close is an unguarded failure of its own.
  camera.CloseFramegrabber();
  return exit_status(code);
}

int grab_timeout_step(vision::HFramegrabber& camera, std::ostream& out) {
  const int timeout_ms = 5000;
  out << "---> SetFramegrabberParam ... grab_timeout: " << timeout_ms << " \n";
  return guarded_step(
      camera, "---> grab_timeout failed!\n",
      [&] {
        camera.SetFramegrabberParam(vision::HTuple("grab_timeout"), vision::HTuple(timeout_ms));
      },
      out);
}

void close_camera(vision::HFramegrabber& camera, std::ostream& out) {
  out << "---> exiting.\n\n";
  out << "---> CloseFramegrabber!\n";
  camera.CloseFramegrabber();
}

int unguarded_failure(vision::HFramegrabber& camera, const vision::HException& error,
                      std::ostream& err) {
  err << "  Error #" << error.ErrorCode() << " in " << error.ProcName().TextA() << ": "
      << error.ErrorMessage().TextA() << "\n";
  err.flush();
  if (camera.IsOpen()) {
    try {
      camera.CloseFramegrabber();
    } catch (const vision::HException&) {
      // Already reporting a failure; the camera is released with the handle.
    }
  }
  return exit_status(error.ErrorCode());
}

int finish_output(int status, std::ostream& err) {
  std::cout.flush();
  errno = 0;
  const int reason = std::fflush(stdout) != 0 ? errno : 0;
  if (std::cout && !std::ferror(stdout)) return status;
  err << "  Error: cannot write standard output: "
      << (reason != 0 ? std::strerror(reason) : "a write failed (is the disk full?)") << "\n";
  err.flush();
  return status != 0 ? status : 1;
}

}  // namespace acquisition
