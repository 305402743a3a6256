// The board scene the simulated camera films: 8-bit grey, row-major, generated at build time
// (make_scene.cpp). When the build could not run the generator (a cross build without an
// emulator), the size is 0 and the camera draws a plain test pattern instead.
#pragma once

namespace vision::simcam {

extern const int kSceneWidth;
extern const int kSceneHeight;
extern const unsigned char kSceneGrey[];

}  // namespace vision::simcam
