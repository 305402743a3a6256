// The simulated camera's data stream: buffer rules, triggers, free-running delivery, events,
// counts, the faults of the stream (incomplete frames, a lost camera), two cameras at once, and
// the pictures themselves. No assertion depends on timing; waits are bounded only so that a hang
// fails instead of blocking the run.
#include <chrono>
#include <future>
#include <thread>

#include "simcam_fixture.h"

namespace simtest {
namespace {

constexpr std::uint64_t kHang = 20000;  // ms: a wait that must end long before this

TEST(Buffers, AnnounceQueueRevokeRules) {
  Session s("width=32,height=32");
  Cam cam(s);
  cam.AnnounceAndQueue(1);
  // Fewer buffers than the stream's minimum: no start.
  EXPECT_EQ(P().DSStartAcquisition(cam.ds, ACQ_START_FLAGS_DEFAULT, GENTL_INFINITE),
            GC_ERR_INVALID_BUFFER);
  EXPECT_NE(LastError().find("at least 2"), std::string::npos) << LastError();
  cam.AnnounceAndQueue(1);
  // A queued buffer cannot be queued again, nor revoked.
  EXPECT_EQ(P().DSQueueBuffer(cam.ds, cam.buffers[0]), GC_ERR_ACCESS_DENIED);
  EXPECT_NE(LastError().find("already queued"), std::string::npos) << LastError();
  EXPECT_EQ(P().DSRevokeBuffer(cam.ds, cam.buffers[0], nullptr, nullptr), GC_ERR_BUSY);
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_NUM_QUEUED), 2u);
  // Buffers are listed by index.
  BUFFER_HANDLE b = nullptr;
  EXPECT_EQ(P().DSGetBufferID(cam.ds, 1, &b), GC_ERR_SUCCESS);
  EXPECT_EQ(b, cam.buffers[1]);
  EXPECT_EQ(P().DSGetBufferID(cam.ds, 2, &b), GC_ERR_INVALID_INDEX);
  // Misaligned consumer memory is refused (STREAM_INFO_BUF_ALIGNMENT).
  alignas(64) static std::uint8_t memory[2048];
  const auto alignment = cam.StreamInfo<size_t>(STREAM_INFO_BUF_ALIGNMENT);
  EXPECT_EQ(alignment, 16u);
  EXPECT_EQ(P().DSAnnounceBuffer(cam.ds, memory + 1, 1024, nullptr, &b), GC_ERR_INVALID_PARAMETER);
  EXPECT_EQ(P().DSAnnounceBuffer(cam.ds, memory, 0, nullptr, &b), GC_ERR_INVALID_PARAMETER);
  // Flush and revoke leave nothing announced.
  EXPECT_EQ(P().DSFlushQueue(cam.ds, ACQ_QUEUE_ALL_DISCARD), GC_ERR_SUCCESS);
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_NUM_QUEUED), 0u);
  for (BUFFER_HANDLE h : cam.buffers) {
    void* mem = &cam;
    EXPECT_EQ(P().DSRevokeBuffer(cam.ds, h, &mem, nullptr), GC_ERR_SUCCESS) << LastError();
    EXPECT_EQ(mem, nullptr) << "producer memory is not the consumer's to free";
  }
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_NUM_ANNOUNCED), 0u);
  EXPECT_EQ(P().DSQueueBuffer(cam.ds, cam.buffers[0]), GC_ERR_INVALID_HANDLE) << "revoked";
}

TEST(Buffers, FlushOperationsMoveBuffersBetweenTheQueues) {
  Session s("width=32,height=32");
  Cam cam(s);
  cam.AnnounceAndQueue(3);
  // Input pool to output queue: each one becomes a NEW_BUFFER event without new data.
  ASSERT_EQ(P().DSFlushQueue(cam.ds, ACQ_QUEUE_INPUT_TO_OUTPUT), GC_ERR_SUCCESS);
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_NUM_AWAIT_DELIVERY), 3u);
  BUFFER_HANDLE b = cam.Next(0);
  ASSERT_NE(b, nullptr);
  EXPECT_FALSE(cam.BufferInfo<bool8_t>(b, BUFFER_INFO_NEW_DATA));
  // EventFlush drops the other two events; they can be queued again.
  EXPECT_EQ(P().EventFlush(cam.event), GC_ERR_SUCCESS);
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_NUM_AWAIT_DELIVERY), 0u);
  ASSERT_EQ(P().DSFlushQueue(cam.ds, ACQ_QUEUE_UNQUEUED_TO_INPUT), GC_ERR_SUCCESS);
  EXPECT_EQ(cam.StreamInfo<size_t>(STREAM_INFO_NUM_QUEUED), 3u);
}

TEST(Trigger, SoftwareTriggerGivesExactlyOneBuffer) {
  Session s("width=64,height=48");
  Cam cam(s);
  cam.Set(reg::kTriggerMode, 1);  // FrameStart (selector 0), source Software
  cam.AnnounceAndQueue(4);
  cam.Start();
  GC_ERROR rc = 0;
  EXPECT_EQ(cam.Next(150, &rc), nullptr);
  EXPECT_EQ(rc, GC_ERR_TIMEOUT) << "nothing before the trigger";
  EXPECT_EQ(LastErrorCode(), GC_ERR_TIMEOUT);
  for (int i = 1; i <= 5; ++i) {
    cam.Set(reg::kTriggerSoftware, 1);
    BUFFER_HANDLE b = cam.Next(kHang, &rc);
    ASSERT_NE(b, nullptr) << "trigger " << i << ": " << rc;
    EXPECT_EQ(cam.BufferInfo<std::uint64_t>(b, BUFFER_INFO_FRAMEID), std::uint64_t(i));
    EXPECT_EQ(cam.ReadU32(reg::kTriggerSoftware), 0u) << "the trigger was taken: done";
    EXPECT_EQ(cam.Next(100, &rc), nullptr) << "one trigger, one buffer";
    EXPECT_EQ(rc, GC_ERR_TIMEOUT);
    cam.Queue(b);
  }
  // A trigger on Line0 never comes from software; the software trigger is accepted and ignored.
  cam.Set(reg::kTriggerSource, 1);
  cam.Set(reg::kTriggerSoftware, 1);
  EXPECT_EQ(cam.ReadU32(reg::kTriggerSoftware), 0u);
  EXPECT_EQ(cam.Next(100, &rc), nullptr);
  EXPECT_EQ(cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_DELIVERED), 5u);
}

TEST(Trigger, AcquisitionStartTriggerThroughTheSelector) {
  Session s("width=32,height=32,fps=1000");
  Cam cam(s);
  cam.Set(reg::kTriggerSelector, 1);  // AcquisitionStart
  cam.Set(reg::kTriggerMode + 4, 1);  // its mode register: base + 4 * selector
  EXPECT_EQ(cam.ReadU32(reg::kTriggerMode), 0u) << "FrameStart's mode is untouched";
  cam.AnnounceAndQueue(3);
  cam.Start();
  GC_ERROR rc = 0;
  EXPECT_EQ(cam.Next(150, &rc), nullptr) << "free-running only once the acquisition is triggered";
  cam.Set(reg::kTriggerSoftware + 4, 1);
  EXPECT_NE(cam.Next(kHang, &rc), nullptr) << rc;
}

TEST(FreeRunning, DeliversInOrderAndCountsWhatItCouldNotDeliver) {
  Session s("width=32,height=32,fps=1000");
  Cam cam(s);
  cam.AnnounceAndQueue(3);
  cam.Start();
  std::uint64_t last = 0;
  for (int i = 0; i < 20; ++i) {
    BUFFER_HANDLE b = cam.Next(kHang);
    ASSERT_NE(b, nullptr);
    const auto id = cam.BufferInfo<std::uint64_t>(b, BUFFER_INFO_FRAMEID);
    EXPECT_GT(id, last);
    last = id;
    EXPECT_EQ(cam.BufferInfo<size_t>(b, BUFFER_INFO_SIZE_FILLED), 32u * 32u);
    EXPECT_FALSE(cam.BufferInfo<bool8_t>(b, BUFFER_INFO_IS_INCOMPLETE));
    EXPECT_TRUE(cam.BufferInfo<bool8_t>(b, BUFFER_INFO_IMAGEPRESENT));
    EXPECT_EQ(cam.BufferInfo<size_t>(b, BUFFER_INFO_WIDTH), 32u);
    cam.Queue(b);
  }
  EXPECT_TRUE(cam.StreamInfo<bool8_t>(STREAM_INFO_IS_GRABBING));
  // Nobody requeues: the pool runs dry and frames are counted as lost for want of a buffer.
  std::vector<BUFFER_HANDLE> held;
  while (held.size() < 3) held.push_back(cam.Next(kHang));
  while (cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_UNDERRUN) == 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  cam.Set(reg::kAcqStop, 1);
  EXPECT_EQ(P().DSStopAcquisition(cam.ds, ACQ_STOP_FLAGS_DEFAULT), GC_ERR_SUCCESS);
  EXPECT_FALSE(cam.StreamInfo<bool8_t>(STREAM_INFO_IS_GRABBING));
}

TEST(FreeRunning, NumToAcquireDeliversExactlyThatMany) {
  Session s("width=32,height=32,fps=1000");
  Cam cam(s);
  cam.AnnounceAndQueue(8);
  cam.Start(5);
  for (int i = 0; i < 5; ++i) ASSERT_NE(cam.Next(kHang), nullptr) << i;
  GC_ERROR rc = 0;
  EXPECT_EQ(cam.Next(200, &rc), nullptr);
  EXPECT_EQ(rc, GC_ERR_TIMEOUT);
  EXPECT_EQ(cam.StreamInfo<std::uint64_t>(STREAM_INFO_NUM_DELIVERED), 5u);
  EXPECT_FALSE(cam.StreamInfo<bool8_t>(STREAM_INFO_IS_GRABBING));
  EXPECT_EQ(P().DSStopAcquisition(cam.ds, ACQ_STOP_FLAGS_DEFAULT), GC_ERR_SUCCESS);
  // And it starts again.
  EXPECT_EQ(P().DSFlushQueue(cam.ds, ACQ_QUEUE_ALL_TO_INPUT), GC_ERR_SUCCESS);
  cam.Start(2);
  EXPECT_NE(cam.Next(kHang), nullptr);
}

TEST(FreeRunning, StartTwiceAndSingleFrameMode) {
  Session s("width=32,height=32,fps=1000");
  Cam cam(s);
  cam.Set(reg::kAcqMode, 1);  // SingleFrame: one frame per AcquisitionStart
  cam.AnnounceAndQueue(3);
  cam.Start();
  EXPECT_EQ(P().DSStartAcquisition(cam.ds, ACQ_START_FLAGS_DEFAULT, GENTL_INFINITE),
            GC_ERR_RESOURCE_IN_USE);
  ASSERT_NE(cam.Next(kHang), nullptr);
  GC_ERROR rc = 0;
  EXPECT_EQ(cam.Next(150, &rc), nullptr);
  cam.Set(reg::kAcqStart, 1);
  EXPECT_NE(cam.Next(kHang), nullptr);
}

TEST(Events, EventKillEndsAnInfiniteWait) {
  Session s("width=32,height=32");
  Cam cam(s);
  cam.Set(reg::kTriggerMode, 1);  // no frame will come
  cam.AnnounceAndQueue(2);
  cam.Start();
  auto waiter = std::async(std::launch::async, [&] {
    GC_ERROR rc = 0;
    cam.Next(GENTL_INFINITE, &rc);
    return rc;
  });
  // Kill until the waiter has ended: a kill that comes before the wait starts is kept for it.
  EXPECT_EQ(P().EventKill(cam.event), GC_ERR_SUCCESS);
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kHang)), std::future_status::ready)
      << "EventGetData did not end";
  EXPECT_EQ(waiter.get(), GC_ERR_ABORT);
  // A kill with nobody waiting ends the next wait once; EventFlush forgets it.
  EXPECT_EQ(P().EventKill(cam.event), GC_ERR_SUCCESS);
  GC_ERROR rc = 0;
  EXPECT_EQ(cam.Next(GENTL_INFINITE, &rc), nullptr);
  EXPECT_EQ(rc, GC_ERR_ABORT);
  EXPECT_EQ(P().EventKill(cam.event), GC_ERR_SUCCESS);
  EXPECT_EQ(P().EventFlush(cam.event), GC_ERR_SUCCESS);
  EXPECT_EQ(cam.Next(50, &rc), nullptr);
  EXPECT_EQ(rc, GC_ERR_TIMEOUT);
  // The event's data answers its questions.
  std::size_t in_queue = 9, size = sizeof in_queue;
  EXPECT_EQ(P().EventGetInfo(cam.event, EVENT_NUM_IN_QUEUE, nullptr, &in_queue, &size),
            GC_ERR_SUCCESS);
  EXPECT_EQ(in_queue, 0u);
  EVENT_HANDLE second = nullptr;
  EXPECT_EQ(P().GCRegisterEvent(cam.ds, EVENT_NEW_BUFFER, &second), GC_ERR_RESOURCE_IN_USE);
}

TEST(Events, ClosingTheStreamEndsABlockedWait) {
  Session s("width=32,height=32");
  Cam cam(s);
  cam.Set(reg::kTriggerMode, 1);
  cam.AnnounceAndQueue(2);
  cam.Start();
  auto waiter = std::async(std::launch::async, [&] {
    GC_ERROR rc = 0;
    cam.Next(kHang * 10, &rc);
    return rc;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(P().DSClose(cam.ds), GC_ERR_SUCCESS);
  ASSERT_EQ(waiter.wait_for(std::chrono::milliseconds(kHang)), std::future_status::ready);
  const GC_ERROR rc = waiter.get();
  EXPECT_TRUE(rc == GC_ERR_ABORT || rc == GC_ERR_INVALID_HANDLE) << rc;
}

TEST(Faults, IncompleteFramesAreFlagged) {
  Session s("width=32,height=32,fps=1000,incomplete=3");
  Cam cam(s);
  cam.AnnounceAndQueue(3);
  cam.Start();
  for (std::uint64_t i = 1; i <= 7; ++i) {
    BUFFER_HANDLE b = cam.Next(kHang);
    ASSERT_NE(b, nullptr);
    const auto id = cam.BufferInfo<std::uint64_t>(b, BUFFER_INFO_FRAMEID);
    const bool incomplete = cam.BufferInfo<bool8_t>(b, BUFFER_INFO_IS_INCOMPLETE);
    EXPECT_EQ(incomplete, id % 3 == 0) << "frame " << id;
    EXPECT_EQ(cam.BufferInfo<size_t>(b, BUFFER_INFO_SIZE_FILLED) < 32u * 32u, incomplete);
    cam.Queue(b);  // incomplete ones go back too
  }
}

TEST(Faults, ABufferTooSmallForTheFrame) {
  Session s("width=32,height=32,fps=1000");
  Cam cam(s);
  cam.AnnounceAndQueue(2, 100);
  cam.Start();
  BUFFER_HANDLE b = cam.Next(kHang);
  ASSERT_NE(b, nullptr);
  EXPECT_TRUE(cam.BufferInfo<bool8_t>(b, BUFFER_INFO_IS_INCOMPLETE));
  EXPECT_TRUE(cam.BufferInfo<bool8_t>(b, BUFFER_INFO_DATA_LARGER_THAN_BUFFER));
  EXPECT_EQ(cam.BufferInfo<size_t>(b, BUFFER_INFO_SIZE_FILLED), 100u);
}

TEST(Faults, LostCameraFailsPortAccessAndTheWait) {
  Session s("width=32,height=32,fps=1000,lose_after=2");
  Cam cam(s);
  cam.AnnounceAndQueue(4);
  cam.Start();
  ASSERT_NE(cam.Next(kHang), nullptr);
  ASSERT_NE(cam.Next(kHang), nullptr);
  GC_ERROR rc = 0;
  EXPECT_EQ(cam.Next(kHang, &rc), nullptr);
  EXPECT_EQ(rc, GC_ERR_IO) << "the wait ends as soon as the camera is gone";
  EXPECT_NE(LastError().find("lost after 2 frames"), std::string::npos) << LastError();
  std::uint32_t v = 0;
  size_t size = 4;
  EXPECT_EQ(P().GCReadPort(cam.port, reg::kWidth, &v, &size), GC_ERR_IO);
  EXPECT_NE(LastError().find("'Simulated camera SIM0001'"), std::string::npos) << LastError();
  EXPECT_EQ(cam.WriteU32(reg::kTriggerMode, 1), GC_ERR_IO);
  // It still closes in order.
  EXPECT_EQ(P().DSStopAcquisition(cam.ds, ACQ_STOP_FLAGS_KILL), GC_ERR_SUCCESS);
  EXPECT_EQ(P().DSFlushQueue(cam.ds, ACQ_QUEUE_ALL_DISCARD), GC_ERR_SUCCESS);
  EXPECT_EQ(P().DSClose(cam.ds), GC_ERR_SUCCESS);
  EXPECT_EQ(P().DevClose(cam.dev), GC_ERR_SUCCESS);
}

TEST(TwoCameras, StreamAtOnceOnOneProducer) {
  Session s("cameras=2,width=48,height=32,fps=500");
  Cam a(s, 0), b(s, 1);
  a.AnnounceAndQueue(3);
  b.AnnounceAndQueue(3);
  a.Start();
  b.Start();
  for (int i = 0; i < 10; ++i) {
    for (Cam* cam : {&a, &b}) {
      BUFFER_HANDLE h = cam->Next(kHang);
      ASSERT_NE(h, nullptr);
      cam->Queue(h);
    }
  }
  a.Set(reg::kAcqStop, 1);
  EXPECT_EQ(P().DSStopAcquisition(a.ds, ACQ_STOP_FLAGS_KILL), GC_ERR_SUCCESS);
  // b goes on without a.
  BUFFER_HANDLE h = b.Next(kHang);
  EXPECT_NE(h, nullptr);
}

// ---- Pictures ---------------------------------------------------------------------------------

// The first frame of a fresh camera in one format (every camera renders frame n alike).
struct Frame {
  std::vector<std::uint8_t> pixels;
  std::uint64_t format = 0;
  size_t width = 0, height = 0;
};
Frame FirstFrame(std::uint32_t format,
                 const std::vector<std::pair<std::uint64_t, std::uint32_t>>& settings = {}) {
  Session s("width=64,height=48,fps=1000");
  Cam cam(s);
  cam.Set(reg::kPixelFormat, format);
  for (const auto& [address, value] : settings) cam.Set(address, value);
  cam.AnnounceAndQueue(2);
  cam.Start();
  BUFFER_HANDLE b = cam.Next(kHang);
  Frame f;
  if (!b) {
    ADD_FAILURE() << "no frame";
    return f;
  }
  f.pixels = cam.Pixels(b);
  f.format = cam.BufferInfo<std::uint64_t>(b, BUFFER_INFO_PIXELFORMAT);
  f.width = cam.BufferInfo<size_t>(b, BUFFER_INFO_WIDTH);
  f.height = cam.BufferInfo<size_t>(b, BUFFER_INFO_HEIGHT);
  return f;
}

TEST(Pictures, FormatsCarryTheSameSceneInTheirByteOrders) {
  const Frame mono = FirstFrame(pf::kMono8);
  ASSERT_EQ(mono.pixels.size(), 64u * 48u);
  EXPECT_EQ(mono.format, pf::kMono8);
  // Mono16, little-endian: high byte the grey value, low byte its complement pattern.
  const Frame wide = FirstFrame(pf::kMono16);
  ASSERT_EQ(wide.pixels.size(), 2u * mono.pixels.size());
  for (std::size_t i = 0; i < mono.pixels.size(); ++i) {
    ASSERT_EQ(wide.pixels[2 * i + 1], mono.pixels[i]) << i;
    ASSERT_EQ(wide.pixels[2 * i], mono.pixels[i] ^ 0xA5) << i;
  }
  // RGB8 and BGR8: the same pixels, channels in opposite order; green is the grey value, red
  // rises from left to right.
  const Frame rgb = FirstFrame(pf::kRGB8), bgr = FirstFrame(pf::kBGR8);
  ASSERT_EQ(rgb.pixels.size(), 3u * mono.pixels.size());
  ASSERT_EQ(bgr.pixels.size(), rgb.pixels.size());
  for (std::size_t i = 0; i < mono.pixels.size(); ++i) {
    ASSERT_EQ(rgb.pixels[3 * i], bgr.pixels[3 * i + 2]) << i;
    ASSERT_EQ(rgb.pixels[3 * i + 1], mono.pixels[i]) << i;
    ASSERT_EQ(rgb.pixels[3 * i + 2], bgr.pixels[3 * i]) << i;
  }
  for (std::size_t y = 0; y < 48; ++y)
    EXPECT_LT(rgb.pixels[3 * (y * 64 + 1)], rgb.pixels[3 * (y * 64 + 40)]) << "row " << y;
  // BayerRG8 samples the RGB picture: R G / G B.
  const Frame bayer = FirstFrame(pf::kBayerRG8);
  ASSERT_EQ(bayer.pixels.size(), mono.pixels.size());
  EXPECT_EQ(bayer.pixels[0], rgb.pixels[0]);                // R at (0, 0)
  EXPECT_EQ(bayer.pixels[1], rgb.pixels[3 + 1]);            // G at (0, 1)
  EXPECT_EQ(bayer.pixels[64 + 1], rgb.pixels[3 * 65 + 2]);  // B at (1, 1)
}

TEST(Pictures, TheRegionOfInterestCutsTheSensorAndReverseXMirrors) {
  const Frame full = FirstFrame(pf::kMono8);
  const Frame roi = FirstFrame(
      pf::kMono8, {{reg::kWidth, 20}, {reg::kHeight, 16}, {reg::kOffsetX, 10}, {reg::kOffsetY, 6}});
  ASSERT_EQ(roi.pixels.size(), 20u * 16u);
  EXPECT_EQ(roi.width, 20u);
  for (std::size_t y = 0; y < 16; ++y)
    for (std::size_t x = 0; x < 20; ++x)
      ASSERT_EQ(roi.pixels[y * 20 + x], full.pixels[(y + 6) * 64 + x + 10]) << x << "," << y;
  const Frame mirrored = FirstFrame(pf::kMono8, {{reg::kImageControl, 0x00000100}});  // bit 16
  for (std::size_t y = 0; y < 48; ++y)
    for (std::size_t x = 0; x < 64; ++x)
      ASSERT_EQ(mirrored.pixels[y * 64 + x], full.pixels[y * 64 + 63 - x]) << x << "," << y;
}

TEST(Pictures, ConsecutiveFramesDiffer) {
  Session s("width=64,height=48,fps=1000");
  Cam cam(s);
  cam.AnnounceAndQueue(3);
  cam.Start();
  std::vector<std::uint8_t> previous;
  for (int i = 0; i < 3; ++i) {
    BUFFER_HANDLE b = cam.Next(kHang);
    ASSERT_NE(b, nullptr);
    const auto pixels = cam.Pixels(b);
    EXPECT_NE(pixels, previous);
    previous = pixels;
    cam.Queue(b);
  }
}

}  // namespace
}  // namespace simtest
