// Uses the library through its umbrella header only: writes an image into the folder given as
// the first argument and reads it back; with a second argument "bundled" it also reads the
// bundled sample image "smd/smd_capacitors_01" by name.
#include <cstdio>
#include <cstring>
#include <string>

#include <vision/vision.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: consumer <scratch folder> [bundled]\n");
    return 2;
  }
  try {
    vision::HObject image, back;
    vision::GenImageConst(&image, "byte", 64, 32);
    const std::string file = std::string(argv[1]) + "/consumer_probe";
    vision::WriteImage(image, "png", 0, file.c_str());
    vision::ReadImage(&back, file.c_str());
    vision::HTuple width, height;
    vision::GetImageSize(back, &width, &height);
    std::printf("round trip %d x %d (library %s)\n", static_cast<int>(width),
                static_cast<int>(height), VISION_VERSION_STRING);
    if (static_cast<int>(width) != 64 || static_cast<int>(height) != 32) return 1;
    if (argc > 2 && std::strcmp(argv[2], "bundled") == 0) {
      vision::ReadImage(&image, "smd/smd_capacitors_01");
      vision::GetImageSize(image, &width, &height);
      std::printf("bundled image %d x %d\n", static_cast<int>(width), static_cast<int>(height));
    }
  } catch (const vision::HException& e) {
    std::fprintf(stderr, "Error #%u in %s: %s\n", e.ErrorCode(), e.ProcName().TextA(),
                 e.ErrorMessage().TextA());
    return 1;
  }
  return 0;
}
