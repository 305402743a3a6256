// pulsegrab: opens the default GenICam camera with external triggering, selects BGR8 pixels and a
// software trigger on the rising edge, starts acquisition, then 1000 times fires a software
// trigger and fetches the image. The first failing step is reported and its error code becomes
// the exit status.
#include <cstdint>
#include <iostream>

#include <acquisition/steps.h>
#include <vision/vision.h>

namespace {

int run() {
  vision::HFramegrabber camera;
  vision::HImage image;
  try {
    std::cout << acquisition::platform_banner();
    acquisition::open_camera(camera, "true");

    std::cout << "---> SetFramegrabberParam ... BGR8\n";
    if (int status = acquisition::guarded_step(camera, "---> PixelFormat failed!\n", [&] {
          camera.SetFramegrabberParam("PixelFormat", "BGR8");
        }))
      return status;

    if (int status = acquisition::grab_timeout_step(camera)) return status;

    std::cout << "---> SetFramegrabberParam ... Software Trigger ON\n";
    if (int status = acquisition::guarded_step(camera, "---> TriggerSource failed!\n", [&] {
          camera.SetFramegrabberParam("TriggerSource", "Software");
        }))
      return status;

    std::cout << "---> SetFramegrabberParam ... Software Trigger ON\n";
    if (int status = acquisition::guarded_step(camera, "---> TriggerActivation failed!\n", [&] {
          camera.SetFramegrabberParam("TriggerActivation", "RisingEdge");
        }))
      return status;

    if (int status = acquisition::guarded_step(camera, "---> TriggerMode failed!\n", [&] {
          camera.SetFramegrabberParam("TriggerMode", "On");
        }))
      return status;

    std::cout << "---> GrabImageStart ...  \n";
    if (int status = acquisition::guarded_step(camera, "---> GrabImageStart failed!\n",
                                               [&] { camera.GrabImageStart(-1.0); }))
      return status;

    for (std::int32_t trigger = 1; trigger <= 1000; ++trigger) {
      std::cout << "---> Send Software trigger " << trigger << " \n";
      if (int status = acquisition::guarded_step(camera, "--->TriggerSoftware failed!\n", [&] {
            camera.SetFramegrabberParam(vision::HTuple("TriggerSoftware"), vision::HTuple(1));
          }))
        return status;

      if (int status = acquisition::guarded_step(camera, "--->GrabImageAsync failed!\n", [&] {
            std::cout << "---> Trying to grab image" << trigger << "  ... \n";
            image = camera.GrabImageAsync(-1.0);
          }))
        return status;
    }

    acquisition::close_camera(camera);
    return 0;
  } catch (const vision::HException& error) {
    // An unguarded step (opening, the normal close, a close after a report) failed.
    return acquisition::unguarded_failure(camera, error);
  }
}

}  // namespace

// Output that could not be written (a full disk) is reported too and never ends as success.
int main() { return acquisition::finish_output(run()); }
