// camlist: what the "GenICamTL" interface sees, for a user pointing the library at a camera
// maker's producer (GENICAM_GENTL64_PATH): the producers loaded or skipped and why, and every
// camera with the names OpenFramegrabber accepts for it, in the order "default" follows.
// Prints the library's error and exits 1 when the listing itself fails (a bad
// VISION_FAKE_CAMERA option, for instance).
#include <cstdio>

#include <vision/vision.h>

namespace {

void print_lines(const char* title, const vision::HTuple& lines) {
  std::printf("%s:\n", title);
  if (lines.Length() == 0) std::printf("  (none)\n");
  for (vision::Hlong i = 0; i < lines.Length(); ++i) std::printf("  %s\n", lines[i].S().Text());
}

}  // namespace

int main() {
  try {
    vision::HTuple info, producers, boards;
    vision::InfoFramegrabber("GenICamTL", "producers", &info, &producers);
    vision::InfoFramegrabber("GenICamTL", "info_boards", &info, &boards);
    print_lines("GenICamTL searched", producers);
    print_lines("cameras (the first is \"default\"; open one by its device, serial or user_name)",
                boards);
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
