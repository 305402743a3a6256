// matchbench: builds an anisotropically scalable shape model from a synthetic rounded rectangle
// and times its search in four SMD capacitor images, 51 passes over the four.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "vision/vision.h"

using namespace vision;

void run_benchmark() {
  HObject image;
  HObject template_contour;
  HObject model_image;
  HTuple model_id;
  HTuple probe_width;
  HTuple probe_height;
  HTuple image_index;
  HTuple start_time;
  HTuple end_time;
  HTuple search_time;
  HTuple row;
  HTuple column;
  HTuple angle;
  HTuple scale_r;
  HTuple scale_c;
  HTuple score;
  HTuple match_count;
  float time_sum = 0.0f;
  int search_count = 0;

  SetSystem("int2_bits", 10);

  ReadImage(&image, "smd/smd_capacitors_01");
  GetImageSize(image, &probe_width, &probe_height);
  std::cout << "---> Image width: " << static_cast<int>(probe_width)
            << " Image heigth: " << static_cast<int>(probe_height) << " \n\n";

  {
    HTuple rows;
    rows.Append(HTuple(50))
        .Append(HTuple(100))
        .Append(HTuple(100))
        .Append(HTuple(50))
        .Append(HTuple(50));
    HTuple columns;
    columns.Append(HTuple(50))
        .Append(HTuple(50))
        .Append(HTuple(150))
        .Append(HTuple(150))
        .Append(HTuple(50));
    HTuple radius;
    radius.Append(HTuple(6)).Append(HTuple(6)).Append(HTuple(6)).Append(HTuple(6)).Append(
        HTuple(6));
    GenContourPolygonRoundedXld(&template_contour, rows, columns, radius, HTuple(1));
  }

  GenImageConst(&image, "byte", 200, 150);
  PaintXld(template_contour, image, &model_image, 128);

  CreateAnisoShapeModel(model_image, "auto", -HTuple(10).TupleRad(), HTuple(20).TupleRad(), "auto",
                        0.9, 1.7, "auto", 0.9, 1.1, "auto", "none", "use_polarity", "auto", 20,
                        &model_id);

  for (int pass = 0; pass < 51; ++pass) {
    for (image_index = 1; image_index <= 4; image_index += 1) {
      ReadImage(&image, "smd/smd_capacitors_" + image_index.TupleString("02d"));
      CountSeconds(&start_time);
      {
        const HTuple rad_10 = HTuple(10).TupleRad();
        const HTuple angle_start = -rad_10;
        const HTuple angle_extent = HTuple(20).TupleRad();
        const HTuple scale_r_min(0.9);
        const HTuple scale_r_max(1.7);
        const HTuple scale_c_min(0.9);
        const HTuple scale_c_max(1.1);
        const HTuple min_score(0.7);
        const HTuple num_matches(0);
        const HTuple max_overlap(0.5);
        const HTuple sub_pixel("least_squares");
        const HTuple num_levels(0);
        const HTuple greediness(0.8);
        FindAnisoShapeModel(image, model_id, angle_start, angle_extent, scale_r_min, scale_r_max,
                            scale_c_min, scale_c_max, min_score, num_matches, max_overlap,
                            sub_pixel, num_levels, greediness, &row, &column, &angle, &scale_r,
                            &scale_c, &score);
      }
      CountSeconds(&end_time);
      search_time = (end_time - start_time) * 1000;
      time_sum += static_cast<float>(search_time);
      search_count += 1;
      match_count = score.TupleLength();
      std::cout << "---> found " << static_cast<int>(match_count) << " models in "
                << static_cast<float>(search_time) << " ms \n";
    }
  }

  std::cout << "---> meantime " << time_sum / static_cast<float>(search_count) << " ms \n";

  SetSystem("int2_bits", -1);
}

// Flushes standard output and checks that the report arrived: a full disk or a closed pipe would
// otherwise lose it without a word. Returns status, or 1 (reported) when writing failed.
int finish_output(int status) {
  std::cout.flush();
  errno = 0;
  const int reason = std::fflush(stdout) != 0 ? errno : 0;
  if (std::cout && !std::ferror(stdout)) return status;
  std::fprintf(stderr, "  Error: cannot write standard output: %s\n",
               reason != 0 ? std::strerror(reason) : "a write failed (is the disk full?)");
  return 1;
}

int run() {
  try {
    SetSystem("use_window_thread", "true");
    SetSystem("thread_num", "default");
    SetHcppInterfaceStringEncodingIsUtf8(false);
    SetSystem("width", 512);
    SetSystem("height", 512);
    run_benchmark();
  } catch (HException& exception) {
    std::fprintf(stderr, "  Error #%u in %s: %s\n", exception.ErrorCode(),
                 exception.ProcName().TextA(), exception.ErrorMessage().TextA());
    return 1;
  }
  return 0;
}

int main() { return finish_output(run()); }
