// HFramegrabber on the simulated camera: opening, interface parameters, camera features and their
// refusals, grabbing and pixel conversion, time-outs and a lost camera. Every test sets
// VISION_FAKE_CAMERA first: nothing here may look for real cameras.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <vision/vision.h>

#include "detail/iconic.h"
#include "env.h"
#include "raises.h"
#include "text_match.h"

namespace {

using visiontest::Contains;

namespace err = vision::err;
using vision::HException;
using vision::HFramegrabber;
using vision::HImage;
using vision::HTuple;
using visiontest::Raises;

void Open(HFramegrabber& camera, const char* options, const char* device = "default",
          const char* name = "GenICamTL", const char* external_trigger = "false") {
  visiontest::SetEnv("VISION_FAKE_CAMERA", options);
  camera.OpenFramegrabber(name, 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, external_trigger,
                          "default", device, -1, -1);
}

const vision::detail::ImageData& Data(const HImage& image) {
  return vision::detail::SingleImage(image, "test");
}

TEST(OpenFramegrabber, ErrorsNameWhatWasAskedFor) {
  HFramegrabber camera;
  EXPECT_TRUE(Contains(Raises(err::kAcqInterface, [&] { Open(camera, "1", "default", "GigE"); }),
                       "'GigE'"));
  EXPECT_TRUE(
      Contains(Raises(err::kAcqNoDevice, [&] { Open(camera, "1", "cam-17"); }), "'cam-17'"));
  EXPECT_TRUE(
      Contains(Raises(err::kAcqParamValue, [&] { Open(camera, "1,colour=red"); }), "'colour=red'"));
  EXPECT_TRUE(Contains(Raises(err::kAcqParamValue, [&] { Open(camera, "lose_after=-1"); }),
                       "lose_after=-1"));
  Raises(err::kWrongParamValue, [&] { Open(camera, "1", "default", "GenICamTL", "maybe"); });
  EXPECT_FALSE(camera.IsOpen());
}

TEST(OpenFramegrabber, SelectsByIdOrSerialAndReportsTheDevice) {
  HFramegrabber camera;
  Open(camera, "1", "SIM0001");
  const std::string id = camera.GetFramegrabberParam("device").S().Str();
  EXPECT_FALSE(id.empty());
  HFramegrabber again;
  Open(again, "1", id.c_str());
  EXPECT_EQ(again.GetFramegrabberParam("device").S().Str(), id);
}

TEST(HandleState, ClosedHandleRefusesWorkAndClosingTwiceIsHarmless) {
  HFramegrabber camera;
  Raises(err::kAcqNotOpen, [&] { camera.GetFramegrabberParam("image_width"); });
  Raises(err::kAcqNotOpen, [&] { camera.SetFramegrabberParam("TriggerMode", "On"); });
  Raises(err::kAcqNotOpen, [&] { camera.GrabImageAsync(-1.0); });
  Open(camera, "1");
  camera.CloseFramegrabber();
  camera.CloseFramegrabber();
  EXPECT_FALSE(camera.IsOpen());
  Raises(err::kAcqNotOpen, [&] { camera.GrabImageStart(-1.0); });
}

TEST(InterfaceParams, SizeAndGrabTimeout) {
  HFramegrabber camera;
  Open(camera, "width=320,height=200");
  EXPECT_EQ(camera.GetFramegrabberParam("image_width").I(), 320);
  EXPECT_EQ(camera.GetFramegrabberParam("image_height").I(), 200);
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), 5000);
  camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(250));
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), 250);
  camera.SetFramegrabberParam("grab_timeout", "-1");
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), -1);
  EXPECT_TRUE(
      Contains(Raises(err::kWrongParamValue,
                      [&] { camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(-2)); }),
               "-2"));
  Raises(err::kWrongParamValue, [&] { camera.SetFramegrabberParam("grab_timeout", "soon"); });
  Raises(err::kAcqReadOnly, [&] { camera.SetFramegrabberParam("device", "other"); });
}

TEST(Features, EveryKindReadsBackWhatWasWritten) {
  HFramegrabber camera;
  Open(camera, "1");
  camera.SetFramegrabberParam("PixelFormat", "RGB8");
  EXPECT_EQ(camera.GetFramegrabberParam("PixelFormat").S().Str(), "RGB8");
  camera.SetFramegrabberParam("Width", "320");  // text holding a number, for an integer
  EXPECT_EQ(camera.GetFramegrabberParam("Width").I(), 320);
  camera.SetFramegrabberParam(HTuple("AcquisitionFrameRate"), HTuple(12.5));
  EXPECT_DOUBLE_EQ(camera.GetFramegrabberParam("AcquisitionFrameRate").D(), 12.5);
  camera.SetFramegrabberParam("ReverseX", "true");
  EXPECT_EQ(camera.GetFramegrabberParam("ReverseX").I(), 1);
  camera.SetFramegrabberParam("DeviceUserID", "left");
  EXPECT_EQ(camera.GetFramegrabberParam("DeviceUserID").S().Str(), "left");
  // Several pairs in one call.
  HTuple names, values;
  names.Append("TriggerMode").Append("TriggerActivation");
  values.Append("On").Append("FallingEdge");
  camera.SetFramegrabberParam(names, values);
  EXPECT_EQ(camera.GetFramegrabberParam("TriggerActivation").S().Str(), "FallingEdge");
  Raises(err::kWrongParamCount, [&] { camera.SetFramegrabberParam(names, HTuple()); });
}

TEST(Features, RefusalsNameTheFeatureTheValueAndTheReason) {
  HFramegrabber camera;
  Open(camera, "reject=TriggerMode");
  std::string m = Raises(err::kAcqUnknownParam, [&] { camera.SetFramegrabberParam("Gamma", "1"); });
  EXPECT_TRUE(Contains(m, "'Gamma'")) << m;
  m = Raises(err::kAcqUnknownParam, [&] { camera.GetFramegrabberParam("Gamma"); });
  m = Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam("PixelFormat", "YUV422"); });
  EXPECT_TRUE(Contains(m, "PixelFormat") && Contains(m, "YUV422") && Contains(m, "BGR8")) << m;
  m = Raises(err::kAcqReadOnly, [&] { camera.SetFramegrabberParam("DeviceSerialNumber", "X"); });
  EXPECT_TRUE(Contains(m, "read-only")) << m;
  m = Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam(HTuple("Width"), HTuple(5)); });
  EXPECT_TRUE(Contains(m, "Width") && Contains(m, "5") && Contains(m, "range")) << m;
  m = Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam("Height", "tall"); });
  m = Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam("TriggerMode", "On"); });
  EXPECT_TRUE(Contains(m, "TriggerMode") && Contains(m, "On")) << m;
  // A refusal leaves the camera usable.
  camera.SetFramegrabberParam("PixelFormat", "Mono8");
}

TEST(Grab, PixelFormatsConvertToTheDocumentedImages) {
  auto first_frame = [](const char* format) {
    HFramegrabber camera;
    Open(camera, "width=64,height=48,fps=1000");
    camera.SetFramegrabberParam("PixelFormat", format);
    return camera.GrabImageAsync(-1.0);
  };
  const HImage mono = first_frame("Mono8");
  EXPECT_EQ(Data(mono).Channels(), 1);
  EXPECT_EQ(Data(mono).type, vision::detail::PixelType::Byte);
  EXPECT_EQ(Data(mono).width, 64);
  EXPECT_EQ(Data(mono).height, 48);

  // RGB8 and BGR8 of the same scene give the same R, G, B planes.
  const HImage rgb = first_frame("RGB8");
  const HImage bgr = first_frame("BGR8");
  ASSERT_EQ(Data(rgb).Channels(), 3);
  ASSERT_EQ(Data(bgr).Channels(), 3);
  for (int c = 0; c < 3; ++c)
    EXPECT_EQ(*Data(rgb).planes[c], *Data(bgr).planes[c]) << "channel " << c;
  // The red plane rises from left to right in the test scene: not swapped with blue.
  const auto* red = Data(rgb).Plane<std::uint8_t>(0);
  EXPECT_LT(red[1], red[40]);

  // Mono16 carries the grey value v of the same frame as its high byte and v ^ 0xA5 as its
  // low byte (little endian on the wire): a swapped byte order gives other values.
  const HImage wide = first_frame("Mono16");
  EXPECT_EQ(Data(wide).type, vision::detail::PixelType::UInt2);
  const auto* p16 = Data(wide).Plane<std::uint16_t>(0);
  const auto* p8 = Data(mono).Plane<std::uint8_t>(0);
  int wrong = 0;
  for (int i = 0; i < 64 * 48; ++i) wrong += p16[i] != std::uint16_t(p8[i] << 8 | (p8[i] ^ 0xA5));
  EXPECT_EQ(wrong, 0) << "first pixel " << p16[0] << " for grey " << int(p8[0]);
}

TEST(Grab, FreeRunningFramesMoveAndSizeIsLockedWhileAcquiring) {
  HFramegrabber camera;
  Open(camera, "width=64,height=48,fps=500");
  camera.GrabImageStart(-1.0);
  const HImage a = camera.GrabImageAsync(-1.0);
  const HImage b = camera.GrabImageAsync(-1.0);
  EXPECT_NE(*Data(a).planes[0], *Data(b).planes[0]);
  EXPECT_TRUE(Contains(
      Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam("Width", "32"); }), "locked"));
}

TEST(Grab, SoftwareTriggerGivesOneFrameEachAndNoTriggerTimesOut) {
  HFramegrabber camera;
  Open(camera, "width=32,height=32");
  camera.SetFramegrabberParam("TriggerMode", "On");
  camera.SetFramegrabberParam(HTuple("grab_timeout"), HTuple(50));
  camera.GrabImageStart(-1.0);
  for (int i = 0; i < 20; ++i) {
    camera.SetFramegrabberParam(HTuple("TriggerSoftware"), HTuple(1));
    camera.GrabImageAsync(-1.0);
  }
  EXPECT_EQ(camera.GetFramegrabberParam("frames_completed").L(), 20);
  std::string m = Raises(err::kAcqTimeout, [&] { camera.GrabImageAsync(-1.0); });
  EXPECT_TRUE(Contains(m, "50 ms")) << m;
  // A trigger on Line0 never comes from software.
  camera.SetFramegrabberParam("TriggerSource", "Line0");
  camera.SetFramegrabberParam(HTuple("TriggerSoftware"), HTuple(1));
  Raises(err::kAcqTimeout, [&] { camera.GrabImageAsync(-1.0); });
}

TEST(Grab, LostCameraFailsEveryLaterRequestAndStillCloses) {
  HFramegrabber camera;
  Open(camera, "width=32,height=32,fps=1000,lose_after=3");
  for (int i = 0; i < 3; ++i) camera.GrabImageAsync(-1.0);
  std::string m = Raises(err::kAcqLost, [&] { camera.GrabImageAsync(-1.0); });
  EXPECT_TRUE(Contains(m, "3 frames")) << m;
  Raises(err::kAcqLost, [&] { camera.GrabImageAsync(-1.0); });
  Raises(err::kAcqLost, [&] { camera.SetFramegrabberParam("TriggerMode", "On"); });
  camera.CloseFramegrabber();
  EXPECT_FALSE(camera.IsOpen());
}

// Every integer given as text is read as decimal, by the camera as by SetSystem: a leading zero
// does not make it octal ("0640" used to set a width of 416).
TEST(Features, IntegerTextsAreDecimalLikeEverySetting) {
  HFramegrabber camera;
  Open(camera, "1");
  camera.SetFramegrabberParam("Width", "0640");
  EXPECT_EQ(camera.GetFramegrabberParam("Width").I(), 640);
  camera.SetFramegrabberParam("grab_timeout", "010");
  EXPECT_EQ(camera.GetFramegrabberParam("grab_timeout").I(), 10);
  vision::SetSystem("width", "010");
  EXPECT_EQ(vision::GetSystem("width").I(), 10);
  vision::SetSystem("width", 512);
  // Hexadecimal and padded texts are not numbers.
  Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam("Width", "0x100"); });
  Raises(err::kAcqParamValue, [&] { camera.SetFramegrabberParam("Width", " 320"); });
  EXPECT_EQ(camera.GetFramegrabberParam("Width").I(), 640);
}

}  // namespace
