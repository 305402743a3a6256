// camlist: what the "GenICamTL" interface sees, for a user pointing the library at a camera
// maker's producer (GENICAM_GENTL64_PATH): the producers loaded or skipped and why, what their
// modules say of themselves, and every camera with the names OpenFramegrabber accepts for it,
// in the order "default" follows.
//
//   camlist                     the listing above
//   camlist --features [DEVICE] every feature of one camera ("default" when none is given,
//                               else named as OpenFramegrabber takes it), after what the
//                               producer's modules say of it
//
// The library makes every line and escapes the camera's texts; camlist only prints them.
// Prints the library's error and exits 1 when the listing itself fails (a bad
// VISION_FAKE_CAMERA option, for instance); a wrong command line prints the usage and exits 2.
#include <cstdio>
#include <cstring>
#include <string>

#include <vision/vision.h>

namespace {

void print_lines(const char* title, const vision::HTuple& lines) {
  std::printf("%s:\n", title);
  if (lines.Length() == 0) std::printf("  (none)\n");
  for (vision::Hlong i = 0; i < lines.Length(); ++i) std::printf("  %s\n", lines[i].S().Text());
}

void list_interface() {
  vision::HTuple info, producers, modules, boards;
  vision::InfoFramegrabber("GenICamTL", "producers", &info, &producers);
  vision::InfoFramegrabber("GenICamTL", "info_boards", &info, &boards);
  vision::InfoFramegrabber("GenICamTL", "modules", &info, &modules);
  print_lines("GenICamTL searched", producers);
  print_lines("producer modules (from their own descriptions, else from the GenTL info calls)",
              modules);
  print_lines("cameras (the first is \"default\"; open one by its device, serial or user_name)",
              boards);
}

void list_features(const char* device) {
  vision::HFramegrabber camera;
  camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", -1, "default", -1.0, "default",
                          "default", device, 0, -1);
  const vision::HTuple modules = camera.GetFramegrabberParam("module_listing");
  const vision::HTuple features = camera.GetFramegrabberParam("feature_listing");
  // The camera's own id is in the device module's line, quoted by the library.
  print_lines("modules of the camera (system, interface, device, data stream)", modules);
  const std::string title = "features (" + std::to_string(features.Length()) +
                            "; name, type, access, value or why none, range or entries)";
  print_lines(title.c_str(), features);
}

int usage() {
  std::fprintf(stderr,
               "usage: camlist                      list producers, their modules and cameras\n"
               "       camlist --features [DEVICE]  list every feature of a camera (default: "
               "the first)\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  bool features = false;
  const char* device = "default";
  if (argc >= 2) {
    if (std::strcmp(argv[1], "--features") != 0 || argc > 3) return usage();
    features = true;
    if (argc == 3) {
      if (argv[2][0] == '-' || argv[2][0] == '\0') return usage();
      device = argv[2];
    }
  }
  try {
    if (features)
      list_features(device);
    else
      list_interface();
  } catch (const vision::HException& e) {
    std::fprintf(stderr, "  Error #%u in %s: %s\n", unsigned(e.ErrorCode()), e.ProcName().Text(),
                 e.ErrorMessage().Text());
    return 1;
  }
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    std::fprintf(stderr, "camlist: cannot write the listing\n");
    return 1;
  }
  return 0;
}
