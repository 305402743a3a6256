// Single-part buffers as a consumer sees them that takes any successful DSGetNumBufferParts for
// a multi-part buffer and builds every image from DSGetBufferPartInfo alone (some consumers
// ignore BUFFER_INFO_PAYLOADTYPE): each filled buffer is one part, its image, whose part info
// agrees with the buffer info. Every frame is compared with the frame the camera must have
// taken: the renderer is deterministic in the frame id.
#include <cstring>

#include "frames.h"
#include "simcam_fixture.h"

namespace simtest {
namespace {

namespace sim = vision::simcam;

constexpr std::uint64_t kHang = 20000;  // ms: a wait that must end long before this

template <class T>
T PartInfo(Cam& cam, BUFFER_HANDLE b, BUFFER_PART_INFO_CMD cmd, INFO_DATATYPE type) {
  T value{};
  size_t size = sizeof value;
  INFO_DATATYPE t = INFO_DATATYPE_UNKNOWN;
  EXPECT_EQ(P().DSGetBufferPartInfo(cam.ds, b, 0, cmd, &t, &value, &size), GC_ERR_SUCCESS)
      << "part info " << cmd << ": " << LastError();
  EXPECT_EQ(t, type) << "part info " << cmd;
  EXPECT_EQ(size, sizeof value) << "part info " << cmd;
  return value;
}

TEST(BufferParts, AConsumerBuildingImagesFromPartsGetsEveryFrameWhole) {
  constexpr int kSensorW = 64, kSensorH = 48, kW = 40, kH = 30, kX = 8, kY = 6;
  Session s("width=64,height=48");
  Cam cam(s);
  cam.Set(reg::kWidth, kW);
  cam.Set(reg::kHeight, kH);
  cam.Set(reg::kOffsetX, kX);
  cam.Set(reg::kOffsetY, kY);
  cam.Set(reg::kTriggerMode, 1);
  cam.AnnounceAndQueue(3, kW * kH * 3);  // enough for every format
  // A buffer that was never filled holds no part.
  std::uint32_t parts = 9;
  ASSERT_EQ(P().DSGetNumBufferParts(cam.ds, cam.buffers[0], &parts), GC_ERR_SUCCESS);
  EXPECT_EQ(parts, 0u);
  ASSERT_EQ(P().DSStartAcquisition(cam.ds, ACQ_START_FLAGS_DEFAULT, GENTL_INFINITE), GC_ERR_SUCCESS)
      << LastError();
  const auto scene = sim::SceneTexture::ForSensor(kSensorW, kSensorH);
  std::uint64_t frame = 0;
  std::vector<std::uint8_t> expected;
  for (std::uint32_t format : {pf::kMono8, pf::kMono16, pf::kRGB8, pf::kBayerRG8}) {
    cam.Set(reg::kPixelFormat, format);
    cam.Set(reg::kAcqStart, 1);
    for (int i = 0; i < 250; ++i) {
      ++frame;
      SCOPED_TRACE("frame " + std::to_string(frame));
      cam.Set(reg::kTriggerSoftware, 1);
      BUFFER_HANDLE b = cam.Next(kHang);
      ASSERT_NE(b, nullptr);
      ASSERT_EQ(P().DSGetNumBufferParts(cam.ds, b, &parts), GC_ERR_SUCCESS) << LastError();
      ASSERT_EQ(parts, 1u);
      auto* base = PartInfo<std::uint8_t*>(cam, b, BUFFER_PART_INFO_BASE, INFO_DATATYPE_PTR);
      const auto size = PartInfo<size_t>(cam, b, BUFFER_PART_INFO_DATA_SIZE, INFO_DATATYPE_SIZET);
      const auto width = PartInfo<size_t>(cam, b, BUFFER_PART_INFO_WIDTH, INFO_DATATYPE_SIZET);
      const auto height = PartInfo<size_t>(cam, b, BUFFER_PART_INFO_HEIGHT, INFO_DATATYPE_SIZET);
      ASSERT_EQ(PartInfo<size_t>(cam, b, BUFFER_PART_INFO_DATA_TYPE, INFO_DATATYPE_SIZET),
                size_t(PART_DATATYPE_2D_IMAGE));
      ASSERT_EQ(PartInfo<std::uint64_t>(cam, b, BUFFER_PART_INFO_DATA_FORMAT, INFO_DATATYPE_UINT64),
                format);
      ASSERT_EQ(PartInfo<std::uint64_t>(cam, b, BUFFER_PART_INFO_DATA_FORMAT_NAMESPACE,
                                        INFO_DATATYPE_UINT64),
                std::uint64_t(PIXELFORMAT_NAMESPACE_PFNC_32BIT));
      ASSERT_EQ(PartInfo<size_t>(cam, b, BUFFER_PART_INFO_XOFFSET, INFO_DATATYPE_SIZET),
                size_t(kX));
      ASSERT_EQ(PartInfo<size_t>(cam, b, BUFFER_PART_INFO_YOFFSET, INFO_DATATYPE_SIZET),
                size_t(kY));
      ASSERT_EQ(PartInfo<size_t>(cam, b, BUFFER_PART_INFO_XPADDING, INFO_DATATYPE_SIZET), 0u);
      ASSERT_EQ(
          PartInfo<size_t>(cam, b, BUFFER_PART_INFO_DELIVERED_IMAGEHEIGHT, INFO_DATATYPE_SIZET),
          size_t(kH));
      ASSERT_EQ(width, size_t(kW));
      ASSERT_EQ(height, size_t(kH));
      // The consumer deciding by the buffer info finds the same image.
      ASSERT_EQ(cam.BufferInfo<std::uint8_t*>(b, BUFFER_INFO_BASE), base);
      ASSERT_EQ(cam.BufferInfo<std::uint64_t>(b, BUFFER_INFO_FRAMEID), frame);
      // Its pixels: frame `frame` of this region and format.
      sim::FrameSettings settings;
      settings.sensor_width = kSensorW;
      settings.sensor_height = kSensorH;
      settings.width = kW;
      settings.height = kH;
      settings.offset_x = kX;
      settings.offset_y = kY;
      settings.pixel_format = format;
      expected.assign(settings.Bytes(), 0);
      ASSERT_EQ(sim::RenderFrame(*scene, settings, frame, expected.data(), expected.size()),
                expected.size());
      ASSERT_EQ(size, expected.size());
      ASSERT_EQ(std::memcmp(base, expected.data(), size), 0) << "pixels differ";
      size_t n = sizeof base;
      ASSERT_EQ(P().DSGetBufferPartInfo(cam.ds, b, 1, BUFFER_PART_INFO_BASE, nullptr, &base, &n),
                GC_ERR_INVALID_INDEX)
          << "one part only";
      cam.Queue(b);
    }
    cam.Set(reg::kAcqStop, 1);
  }
  EXPECT_EQ(cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_DELIVERED), 1000u);
}

}  // namespace
}  // namespace simtest
