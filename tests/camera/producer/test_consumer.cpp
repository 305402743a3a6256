// The simulated camera with a description of the user's (VISION_FAKE_CAMERA description=),
// opened through the library like any camera: the producer names the file with a file: URL and
// the camera's registers are all zero until written, also at 0xF0000000 and above where real
// cameras keep serial numbers, test and strobe registers.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include <vision/vision.h>

#include "env.h"
#include "temp_dir.h"

namespace {

const char* const kHighRegisters = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="HighRegisters" VendorName="test" StandardNameSpace="None"
    SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1"
    MinorVersion="0" SubMinorVersion="0" ProductGuid="0b5e8f4c-3a2d-4e1f-9c7b-6a5d4c3b2a19"
    VersionGuid="1c6f9a5d-4b3e-4f20-8d8c-7b6e5d4c3b2a"
    xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceSerialNumber</pFeature>
    <pFeature>TestPattern</pFeature>
    <pFeature>StrobeDelay</pFeature>
  </Category>
  <StringReg Name="DeviceSerialNumber" NameSpace="Standard">
    <Address>0xF0000000</Address>
    <Length>16</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <IntReg Name="TestPattern">
    <Address>0xF0000100</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <IntReg Name="StrobeDelay">
    <Address>0xFFFFFFF8</Address>
    <Length>8</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Signed</Sign>
    <Endianess>BigEndian</Endianess>
  </IntReg>
  <Port Name="Device"/>
</RegisterDescription>
)";

TEST(UsersDescription, OpensOverZeroRegistersThatTakeWrites) {
  visiontest::TempDir dir;
  const std::string path = dir / "high registers.xml";
  std::ofstream(path, std::ios::binary) << kHighRegisters;
  visiontest::SetEnv("VISION_FAKE_CAMERA", ("description=" + path).c_str());
  vision::HFramegrabber camera;
  camera.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                          "default", "default", -1, -1);
  EXPECT_EQ(camera.GetFramegrabberParam("DeviceSerialNumber").S().Str(), "");
  EXPECT_EQ(camera.GetFramegrabberParam("TestPattern").I(), 0);
  EXPECT_EQ(camera.GetFramegrabberParam("StrobeDelay").I(), 0);
  camera.SetFramegrabberParam("TestPattern", "1234");
  camera.SetFramegrabberParam("StrobeDelay", "-5");
  EXPECT_EQ(camera.GetFramegrabberParam("TestPattern").I(), 1234);
  EXPECT_EQ(camera.GetFramegrabberParam("StrobeDelay").I(), -5);
  camera.CloseFramegrabber();
}

}  // namespace
