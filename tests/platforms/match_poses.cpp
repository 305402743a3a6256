// Prints every match of matchbench's model in the four SMD images with full precision, one line
// per match: image, row, column, angle, row scale, column scale, score. Built for every platform
// so that scripts/test-platforms can hold the cross builds' results to the native build's
// (same matches, poses within 1e-3 pixels).
#include <cstdio>
#include <string>

#include "vision/vision.h"

using namespace vision;

int main() {
  try {
    SetSystem("int2_bits", 10);
    HTuple rows, columns, radius;
    for (int r : {50, 100, 100, 50, 50}) rows.Append(HTuple(r));
    for (int c : {50, 50, 150, 150, 50}) columns.Append(HTuple(c));
    for (int i = 0; i < 5; ++i) radius.Append(HTuple(6));
    HObject contour, canvas, model_image;
    GenContourPolygonRoundedXld(&contour, rows, columns, radius, HTuple(1));
    GenImageConst(&canvas, "byte", 200, 150);
    PaintXld(contour, canvas, &model_image, 128);
    HTuple model;
    CreateAnisoShapeModel(model_image, "auto", -HTuple(10).TupleRad(), HTuple(20).TupleRad(),
                          "auto", 0.9, 1.7, "auto", 0.9, 1.1, "auto", "none", "use_polarity",
                          "auto", 20, &model);
    for (int i = 1; i <= 4; ++i) {
      HObject image;
      ReadImage(&image, HTuple("smd/smd_capacitors_0" + std::to_string(i)));
      HTuple row, col, angle, scale_r, scale_c, score;
      FindAnisoShapeModel(image, model, -HTuple(10).TupleRad(), HTuple(20).TupleRad(), 0.9, 1.7,
                          0.9, 1.1, 0.7, 0, 0.5, "least_squares", 0, 0.8, &row, &col, &angle,
                          &scale_r, &scale_c, &score);
      for (Hlong k = 0; k < score.Length(); ++k) {
        std::printf("%d %.6f %.6f %.6f %.6f %.6f %.6f\n", i, row[k].D(), col[k].D(), angle[k].D(),
                    scale_r[k].D(), scale_c[k].D(), score[k].D());
      }
    }
  } catch (const HException& e) {
    std::fprintf(stderr, "Error #%u in %s: %s\n", static_cast<unsigned>(e.ErrorCode()),
                 e.ProcName().Text(), e.ErrorMessage().Text());
    return 1;
  }
  return 0;
}
