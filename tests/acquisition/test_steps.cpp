// The shared step reporting of the camera tools, on the simulated camera.
#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include <acquisition/steps.h>
#include <vision/vision.h>

#include "env.h"

namespace {

using vision::HException;
using vision::HFramegrabber;

void UseSimulatedCamera(const char* options) { visiontest::SetEnv("VISION_FAKE_CAMERA", options); }

void Open(HFramegrabber& camera, const char* options = "1") {
  UseSimulatedCamera(options);
  std::ostringstream out;
  acquisition::open_camera(camera, "true", out);
  ASSERT_TRUE(camera.IsOpen());
}

TEST(GuardedStep, ThrowingStepPrintsThreeLinesClosesAndReturnsTheCode) {
  HFramegrabber camera;
  Open(camera);
  std::ostringstream out;
  const int status = acquisition::guarded_step(
      camera, "---> Something failed!\n",
      [] { throw HException(5306, "SetFramegrabberParam", "camera refused it"); }, out);
  EXPECT_EQ(out.str(),
            "---> Something failed!\n"
            "---> Cause: camera refused it(vision error 5306)\n"
            "---> CloseFramegrabber!\n");
  EXPECT_EQ(status, 5306);
  EXPECT_FALSE(camera.IsOpen());
}

TEST(GuardedStep, SucceedingStepPrintsNothingAndLeavesTheCameraOpen) {
  HFramegrabber camera;
  Open(camera);
  std::ostringstream out;
  bool ran = false;
  EXPECT_EQ(acquisition::guarded_step(
                camera, "---> X failed!\n", [&] { ran = true; }, out),
            0);
  EXPECT_TRUE(ran);
  EXPECT_EQ(out.str(), "");
  EXPECT_TRUE(camera.IsOpen());
}

TEST(GuardedStep, RefusedTimeoutPrintsTheProgressLineThenTheReport) {
  HFramegrabber camera;
  Open(camera, "reject=grab_timeout");
  std::ostringstream out;
  const int status = acquisition::grab_timeout_step(camera, out);
  const std::string text = out.str();
  const std::string progress = "---> SetFramegrabberParam ... grab_timeout: 5000 \n";
  ASSERT_EQ(text.rfind(progress, 0), 0u) << text;
  std::istringstream lines(text.substr(progress.size()));
  std::string f, cause, close, extra;
  std::getline(lines, f);
  std::getline(lines, cause);
  std::getline(lines, close);
  EXPECT_FALSE(std::getline(lines, extra));
  EXPECT_EQ(f, "---> grab_timeout failed!");
  EXPECT_EQ(cause.rfind("---> Cause: ", 0), 0u);
  EXPECT_NE(cause.find("grab_timeout"), std::string::npos) << cause;
  const std::string tail = "(vision error " + std::to_string(vision::err::kAcqParamValue) + ")";
  EXPECT_TRUE(cause.size() > tail.size() &&
              cause.compare(cause.size() - tail.size(), tail.size(), tail) == 0)
      << cause;
  EXPECT_EQ(close, "---> CloseFramegrabber!");
  EXPECT_EQ(status, int(vision::err::kAcqParamValue));
  EXPECT_FALSE(camera.IsOpen());
}

TEST(GuardedStep, AcceptedTimeoutIsSet) {
  HFramegrabber camera;
  Open(camera);
  std::ostringstream out;
  EXPECT_EQ(acquisition::grab_timeout_step(camera, out), 0);
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), 5000);
}

TEST(ExitStatus, NeverReadsAsSuccessWhereTheStatusIsNarrowed) {
  EXPECT_EQ(acquisition::exit_status(5308), 5308);
  EXPECT_EQ(acquisition::exit_status(1), 1);
#ifndef _WIN32
  EXPECT_EQ(acquisition::exit_status(256 * 21), 1);
  EXPECT_EQ(acquisition::exit_status(0), 1);
#endif
}

TEST(Lines, OpenAndNormalCloseNarrateExactly) {
  HFramegrabber camera;
  UseSimulatedCamera("1");
  std::ostringstream out;
  acquisition::open_camera(camera, "false", out);
  acquisition::close_camera(camera, out);
  EXPECT_EQ(out.str(),
            "---> [ OpenFramegrabber ( GenICamTL ) ...\n"
            "\n---> OpenFramegrabber ... ]\n"
            "---> exiting.\n\n"
            "---> CloseFramegrabber!\n");
  EXPECT_FALSE(camera.IsOpen());
}

TEST(UnguardedFailure, OneErrorLineClosesTheCameraAndGivesTheStatus) {
  HFramegrabber camera;
  Open(camera);
  std::ostringstream err;
  const int status = acquisition::unguarded_failure(
      camera, HException(5302, "OpenFramegrabber", "no camera found"), err);
  EXPECT_EQ(err.str(), "  Error #5302 in OpenFramegrabber: no camera found\n");
  EXPECT_EQ(status, 5302);
  EXPECT_FALSE(camera.IsOpen());
}

TEST(UnguardedFailure, FailingOpenIsReportedNotThrownFurther) {
  HFramegrabber camera;
  UseSimulatedCamera("width=2");
  std::ostringstream out, err;
  int status = 0;
  try {
    acquisition::open_camera(camera, "true", out);
  } catch (const HException& e) {
    status = acquisition::unguarded_failure(camera, e, err);
  }
  EXPECT_EQ(status, int(vision::err::kAcqParamValue));
  EXPECT_EQ(err.str().rfind("  Error #5306 in OpenFramegrabber: VISION_FAKE_CAMERA", 0), 0u)
      << err.str();
  EXPECT_EQ(out.str(), "---> [ OpenFramegrabber ( GenICamTL ) ...\n");
}

}  // namespace
