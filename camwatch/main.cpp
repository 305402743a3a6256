// camwatch: a live view. Opens the default GenICam camera free-running, opens a window exactly as
// large as the camera image and shows grabbed images in it until the user clicks into the window.
// The trigger and time-out steps are guarded (their failure is reported and its error code
// becomes the exit status); any other library failure ends the tool with an error line.
#include <cstdio>
#include <iostream>

#include <acquisition/steps.h>
#include <vision/vision.h>

int main() {
  vision::HFramegrabber camera;
  vision::HImage image;
  vision::HWindow window;
  try {
    std::cout << acquisition::platform_banner();
    vision::SetSystem("use_window_thread", "true");
    acquisition::open_camera(camera, "false");

    const int image_width = static_cast<int>(camera.GetFramegrabberParam("image_width"));
    const int image_height = static_cast<int>(camera.GetFramegrabberParam("image_height"));
    std::cout << "---> image_width: " << image_width << " image_heigth: " << image_height << "\n";
    vision::SetSystem("width", image_width);
    vision::SetSystem("height", image_height);

    std::cout << "---> SetFramegrabberParam ... Software Trigger Off\n";
    if (int status = acquisition::guarded_step(camera, "---> TriggerMode failed!\n", [&] {
          camera.SetFramegrabberParam("TriggerMode", "Off");
        }))
      return status;
    if (int status = acquisition::grab_timeout_step(camera)) return status;

    vision::SetWindowAttr("background_color", "black");
    // snprintf never writes past the buffer; every size a camera can have fits in it.
    char title[64];
    std::snprintf(title, sizeof title, "zel live view (%dx%d)  (Click into window to quit ...)",
                  image_width, image_height);
    vision::SetWindowAttr("window_title", title);

    std::cout << "---> open window ... \n";
    window.OpenWindow(0, 0, image_width, image_height);
    std::cout << "Click into window to quit ...\n" << std::flush;

    vision::Hlong button = 0;
    do {
      image = camera.GrabImageAsync(-1.0);
      window.DispImage(image);
      try {
        window.GetMposition(nullptr, nullptr, &button);
      } catch (const vision::HException&) {
        button = 0;  // pointer outside the window: no click
      }
    } while (button == 0);

    acquisition::close_camera(camera);
    vision::SetSystem("width", 512);
    vision::SetSystem("height", 512);
  } catch (const vision::HException& error) {
    return acquisition::unguarded_failure(camera, error);
  }
  return 0;
}
