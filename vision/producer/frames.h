// The pictures of the simulated camera: the board scene of the first bundled sample image,
// scaled once to the sensor and warped for every frame to a slowly drifting pose (a rotation of
// at most 1.5 degrees about the sensor centre and a shift of at most 2 % of the sensor size), with
// a little sensor noise, so consecutive frames differ and a shape model made from the sample
// image finds the capacitors in live frames.
//
// Pixel formats (PFNC codes):
//   Mono8     the grey value v
//   Mono16    little-endian, high byte v, low byte v ^ 0xA5: the two bytes always differ, so a
//             swapped byte order shows
//   RGB8/BGR8 R = (35 v + 65 * 255 x / (W - 1)) / 100, G = v, B = (35 v + 65 * 255 y / (H - 1)) /
//             100 (x, y within the image): red rises from left to right and blue from top to
//             bottom, so swapped channels show; BGR8 stores the same pixels as B, G, R
//   BayerRG8  the RGB8 picture sampled as R G / G B
// ReverseX and ReverseY mirror the finished image; Gain (dB) and BlackLevel act on v.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "gentl_shared/pfnc.h"

namespace vision::simcam {

// Bytes per pixel of a supported format, 0 for any other code.
int BytesPerPixel(std::uint32_t pixel_format);

// The scene scaled to one sensor size (shared by every camera of that size).
struct SceneTexture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> grey;
  static std::shared_ptr<const SceneTexture> ForSensor(int width, int height);
};

// What a frame looks like: everything the camera's registers say about it.
struct FrameSettings {
  int sensor_width = 0, sensor_height = 0;
  int width = 0, height = 0;
  int offset_x = 0, offset_y = 0;
  std::uint32_t pixel_format = pfnc::kMono8;
  bool reverse_x = false, reverse_y = false;
  int gain_db = 0;
  int black_level = 0;

  std::size_t Bytes() const {
    return std::size_t(width) * std::size_t(height) * std::size_t(BytesPerPixel(pixel_format));
  }
};

// Renders frame `frame_id` into dst, at most `capacity` bytes (a smaller buffer receives the
// first bytes of the frame). Returns the bytes written.
std::size_t RenderFrame(const SceneTexture& scene, const FrameSettings& settings,
                        std::uint64_t frame_id, std::uint8_t* dst, std::size_t capacity);

}  // namespace vision::simcam
