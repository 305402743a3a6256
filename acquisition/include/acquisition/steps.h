// Step reporting shared by the camera tools (pulsegrab, camwatch): every step narrates itself on
// standard output, guarded steps turn a library failure into a three-line report and an exit
// status, and a failure of an unguarded step ends the tool in an orderly way too.
//
// The output stream is a parameter so tests can read what a step printed; the tools use the
// defaults (std::cout, std::cerr).
#pragma once

#include <cstdint>
#include <functional>
#include <iostream>

#include <vision/HException.h>
#include <vision/HFramegrabber.h>

namespace acquisition {

// "---> LINUX PLATFORM \n" or "---> WINDOWS PLATFORM \n", after the platform built for.
const char* platform_banner();

// The exit status for a library error code. On POSIX the status is narrowed to 8 bits, and a
// code that is a multiple of 256 would read as success there: such a code gives status 1.
int exit_status(std::uint32_t code);

// Opens the camera that the "GenICamTL" interface selects for device "default", narrating the
// call. external_trigger is "true" or "false". Unguarded: a failure propagates.
void open_camera(vision::HFramegrabber& camera, const char* external_trigger,
                 std::ostream& out = std::cout);

// Runs step. Returns 0 when it succeeds (nothing is printed). When it raises HException, prints
// failure_text, the cause line and "---> CloseFramegrabber!", closes the camera and returns the
// exit status the tool must end with. The close itself is unguarded.
int guarded_step(vision::HFramegrabber& camera, const char* failure_text,
                 const std::function<void()>& step, std::ostream& out = std::cout);

// Sets "grab_timeout" to 5000 ms as a guarded step, after its progress line.
int grab_timeout_step(vision::HFramegrabber& camera, std::ostream& out = std::cout);

// The normal close: "---> exiting.", an empty line, "---> CloseFramegrabber!", then the close.
void close_camera(vision::HFramegrabber& camera, std::ostream& out = std::cout);

// For a failure of an unguarded step: writes "  Error #<code> in <operator>: <message>" to err,
// closes the camera if it is open (a failure of that close is ignored: the tool is ending
// anyway) and returns the exit status.
int unguarded_failure(vision::HFramegrabber& camera, const vision::HException& error,
                      std::ostream& err = std::cerr);

// Ends the tool's output: flushes standard output and checks that everything written to it
// arrived (a full disk, a closed pipe lose it silently otherwise). Returns status when it did;
// otherwise writes "  Error: cannot write standard output: <reason>" to err and returns status,
// or 1 when status is 0.
int finish_output(int status, std::ostream& err = std::cerr);

}  // namespace acquisition
