// smdgen <output directory> [--list]
//
// Renders the sample images smd_capacitors_01.png .. 04.png and ground_truth.csv into the
// output directory (created if missing). --list also prints every placed object per image.
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "smdgen.h"
#include "vision/vision.h"

namespace {

// Writes the grey image as PNG through the library.
void WriteGrey(const std::vector<std::uint8_t>& pixels, const std::string& path) {
  vision::HObject image;
  vision::GenImage1(&image, "byte", smdgen::kWidth, smdgen::kHeight, pixels.data());
  vision::WriteImage(image, "png", 0, path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && std::string(argv[2]) != "--list")) {
    std::fprintf(stderr, "usage: smdgen <output directory> [--list]\n");
    return 2;
  }
  const bool list = argc == 3;
  try {
    const std::filesystem::path dir(argv[1]);
    std::filesystem::create_directories(dir);
    std::vector<smdgen::Scene> scenes;
    for (int i = 1; i <= smdgen::kImageCount; ++i) {
      scenes.push_back(smdgen::MakeScene(i));
      const smdgen::Scene& s = scenes.back();
      WriteGrey(smdgen::Render(s), (dir / (smdgen::ImageName(i) + ".png")).string());
      // Earlier versions wrote PGM; a stale copy would be found by name as well.
      std::filesystem::remove(dir / (smdgen::ImageName(i) + ".pgm"));
      if (list) {
        std::printf("%s: %zu capacitors, %zu objects, %zu primitives\n",
                    smdgen::ImageName(i).c_str(), s.capacitors.size(), s.parts.size(),
                    s.shapes.size());
        for (const smdgen::Part& p : s.parts) {
          std::printf("  %-26s at (%.1f, %.1f) size %.1f x %.1f\n", smdgen::PartKindName(p.kind),
                      p.footprint.row, p.footprint.col, 2 * p.footprint.half_rows,
                      2 * p.footprint.half_cols);
        }
      }
    }
    const std::string csv = smdgen::GroundTruthCsv(scenes);
    std::ofstream f(dir / "ground_truth.csv", std::ios::binary);
    f << csv;
    if (!f) throw std::runtime_error("cannot write ground_truth.csv");
  } catch (const std::exception& e) {  // vision::HException included
    std::fprintf(stderr, "smdgen: %s\n", e.what());
    return 1;
  }
  return 0;
}
