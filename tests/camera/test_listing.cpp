// The feature and module listings of GetFramegrabberParam on the simulated camera: a small
// description of the test's own with every type and access state (NI and NA with their
// reasons, an enumeration with an entry that is not available, a float range with its unit, a
// string, a command), names, units and values that try to end a line or forge a field, and the
// simulated producer's module descriptions.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include <vision/vision.h>

#include "env.h"
#include "temp_dir.h"

namespace {

using vision::HFramegrabber;
using vision::HTuple;

// Every register reads 0 until written: Width 0, Mode Off (so Later is not available), Label ''.
const char kDescription[] = R"xml(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="ListingTest" VendorName="test" ToolTip="t" StandardNameSpace="None" SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0" MajorVersion="1" MinorVersion="0" SubMinorVersion="0" ProductGuid="00000000-0000-0000-0000-000000000001" VersionGuid="00000000-0000-0000-0000-000000000002" xmlns="http://www.genicam.org/GenApi/Version_1_1">
  <Category Name="Root">
    <pFeature>Width</pFeature>
    <pFeature>Exposure</pFeature>
    <pFeature>Mode</pFeature>
    <pFeature>Flag</pFeature>
    <pFeature>Label</pFeature>
    <pFeature>Fire</pFeature>
    <pFeature>Missing</pFeature>
    <pFeature>Later</pFeature>
    <pFeature>Fixed</pFeature>
    <pFeature>Evil&#10;'Forged' Integer RW</pFeature>
  </Category>
  <Integer Name="Width">
    <pValue>WidthReg</pValue>
    <Min>0</Min>
    <Max>4096</Max>
    <Inc>8</Inc>
    <Unit>px</Unit>
  </Integer>
  <IntReg Name="WidthReg">
    <Address>0x100</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <Float Name="Exposure">
    <Value>12.5</Value>
    <Min>0.5</Min>
    <Max>1000</Max>
    <Unit>us</Unit>
  </Float>
  <Enumeration Name="Mode">
    <EnumEntry Name="Mode_Off"><Value>0</Value><Symbolic>Off</Symbolic></EnumEntry>
    <EnumEntry Name="Mode_On"><Value>1</Value><Symbolic>On</Symbolic></EnumEntry>
    <EnumEntry Name="Mode_Hidden"><pIsAvailable>Zero</pIsAvailable><Value>2</Value><Symbolic>Hidden</Symbolic></EnumEntry>
    <pValue>ModeReg</pValue>
  </Enumeration>
  <IntReg Name="ModeReg">
    <Address>0x104</Address>
    <Length>4</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
    <Sign>Unsigned</Sign>
    <Endianess>LittleEndian</Endianess>
  </IntReg>
  <Boolean Name="Flag">
    <pValue>ModeReg</pValue>
  </Boolean>
  <StringReg Name="Label">
    <Address>0x200</Address>
    <Length>32</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <Command Name="Fire">
    <pValue>ModeReg</pValue>
    <CommandValue>1</CommandValue>
  </Command>
  <Integer Name="Missing">
    <pIsImplemented>Zero</pIsImplemented>
    <Value>5</Value>
  </Integer>
  <Integer Name="Later">
    <pIsAvailable>ModeReg</pIsAvailable>
    <Value>7</Value>
  </Integer>
  <Integer Name="Fixed">
    <ImposedAccessMode>RO</ImposedAccessMode>
    <Value>3</Value>
  </Integer>
  <Integer Name="Evil&#10;'Forged' Integer RW">
    <Value>1</Value>
    <Unit>&#10;'x' Integer RW</Unit>
  </Integer>
  <Integer Name="Zero">
    <Value>0</Value>
  </Integer>
  <Port Name="Device"/>
</RegisterDescription>
)xml";

std::vector<std::string> Lines(const HTuple& t) {
  std::vector<std::string> out;
  for (vision::Hlong i = 0; i < t.Length(); ++i) out.push_back(t[i].S().Text());
  return out;
}

// The line of the feature whose quoted name starts the line.
std::string LineOf(const std::vector<std::string>& lines, const std::string& quoted_name) {
  for (const auto& l : lines)
    if (l.rfind(quoted_name + " ", 0) == 0) return l;
  return "(no line for " + quoted_name + ")";
}

class Listing : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = dir_ / "listing.xml";
    std::ofstream(path, std::ios::binary) << kDescription;
    visiontest::SetEnv("VISION_FAKE_CAMERA", ("description=" + path).c_str());
    camera_.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                             "default", "default", -1, -1);
  }
  std::vector<std::string> Features() {
    return Lines(camera_.GetFramegrabberParam("feature_listing"));
  }

  visiontest::TempDir dir_;
  HFramegrabber camera_;
};

TEST_F(Listing, EveryTypeAndAccessStateWithValueRangeEntriesOrReason) {
  auto lines = Features();
  ASSERT_EQ(lines.size(), 11u);  // the description's features, in its order
  EXPECT_EQ(lines[0], "'Width' Integer RW value:0 min:0 max:4096 inc:8 unit:'px'");
  EXPECT_EQ(lines[1], "'Exposure' Float RW value:12.5 min:0.5 max:1000 unit:'us'");
  // The entry whose pIsAvailable reads 0 is not offered.
  EXPECT_EQ(lines[2], "'Mode' Enumeration RW value:'Off' entries:'Off','On'");
  EXPECT_EQ(lines[3], "'Flag' Boolean RW value:false");
  EXPECT_EQ(lines[4], "'Label' String RW value:'' max_length:32");
  EXPECT_EQ(lines[5], "'Fire' Command RW");
  EXPECT_EQ(lines[6], "'Missing' Integer NI no_value:'its pIsImplemented \\'Zero\\' reads 0'");
  EXPECT_EQ(lines[7], "'Later' Integer NA no_value:'its pIsAvailable \\'ModeReg\\' reads 0'");
  EXPECT_EQ(LineOf(lines, "'Fixed'").substr(0, 28), "'Fixed' Integer RO value:3 m");

  // The listing is read anew: a write shows, and it makes Later available with its value.
  camera_.SetFramegrabberParam("Mode", "On");
  camera_.SetFramegrabberParam("Exposure", 2.25);
  lines = Features();
  EXPECT_EQ(LineOf(lines, "'Mode'"), "'Mode' Enumeration RW value:'On' entries:'Off','On'");
  EXPECT_EQ(LineOf(lines, "'Exposure'").substr(0, 35), "'Exposure' Float RW value:2.25 min:");
  EXPECT_EQ(LineOf(lines, "'Later'").substr(0, 32), "'Later' Integer RW value:7 min:-");
  EXPECT_EQ(LineOf(lines, "'Flag'"), "'Flag' Boolean RW value:true");
}

TEST_F(Listing, HostileNamesUnitsAndValuesCannotEndALineOrForgeAField) {
  camera_.SetFramegrabberParam("Label", "a\n'Width' Integer RW \x1b[2J");
  const auto lines = Features();
  for (const auto& l : lines) {
    EXPECT_EQ(l.find('\n'), std::string::npos) << l;
    EXPECT_EQ(l.find('\x1b'), std::string::npos) << l;
  }
  EXPECT_EQ(LineOf(lines, "'Label'"),
            "'Label' String RW value:'a\\n\\'Width\\' Integer RW \\x1b[2J' max_length:32");
  // A name with a newline and quotes stays one quoted field; so does its unit.
  const std::string evil = LineOf(lines, "'Evil\\n\\'Forged\\' Integer RW'");
  EXPECT_EQ(evil.substr(0, 48), "'Evil\\n\\'Forged\\' Integer RW' Integer RW value:1");
  EXPECT_NE(evil.find(" unit:'\\'x\\' Integer RW'"), std::string::npos) << evil;
  // No line starts with a forged feature name.
  for (const auto& l : lines) EXPECT_NE(l.rfind("'Forged'", 0), 0u) << l;
}

TEST(ModuleListing, ModulesAreReadFromTheProducersOwnDescriptionsAndCount) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", "1");
  HFramegrabber camera_;
  camera_.OpenFramegrabber("GenICamTL", 0, 0, 0, 0, 0, 0, "default", 8, "default", -1.0, "false",
                           "default", "default", -1, -1);
  const auto modules = Lines(camera_.GetFramegrabberParam("module_listing"));
  ASSERT_EQ(modules.size(), 5u);  // system, interface, its one device, device, stream
  EXPECT_EQ(modules[0].rfind("system '", 0), 0u);
  EXPECT_NE(modules[0].find(" description:'SimulatedCameraSystem' TLVendorName:'vision' "
                            "TLModelName:'Simulated camera producer' TLVersion:'1.0'"),
            std::string::npos)
      << modules[0];
  EXPECT_NE(modules[0].find("GenTLVersionMajor:1 GenTLVersionMinor:6"), std::string::npos);
  EXPECT_EQ(modules[2],
            "interface 'vision-Simulated' device 0 DeviceID:'vision-Simulated-SIM0001' "
            "DeviceVendorName:'vision' DeviceModelName:'Simulated camera' "
            "DeviceSerialNumber:'SIM0001' DeviceAccessStatus:'OpenReadWrite'");
  EXPECT_EQ(
      modules[3].rfind("device 'vision-Simulated-SIM0001' description:'SimulatedCameraDevice'", 0),
      0u)
      << modules[3];
  EXPECT_NE(modules[4].find("StreamDeliveredFrameCount:0 "), std::string::npos) << modules[4];
  // The stream module counts what was grabbed (the listing opened the stream the grab uses).
  camera_.GrabImage();
  camera_.GrabImage();
  const auto after = Lines(camera_.GetFramegrabberParam("module_listing"));
  ASSERT_EQ(after.size(), 5u);
  EXPECT_NE(after[4].find("StreamIsGrabbing:true"), std::string::npos) << after[4];
  EXPECT_EQ(after[4].find("StreamDeliveredFrameCount:0 "), std::string::npos) << after[4];
}

TEST(ModuleReport, InfoFramegrabberListsTheSystemAndInterfaceModulesOfEveryCamera) {
  visiontest::SetEnv("VISION_FAKE_CAMERA", "cameras=2");
  HTuple info, lines;
  vision::InfoFramegrabber("GenICamTL", "modules", &info, &lines);
  const auto l = Lines(lines);
  ASSERT_EQ(l.size(), 4u);
  EXPECT_NE(l[0].find("description:'SimulatedCameraSystem' TLVendorName:'vision'"),
            std::string::npos)
      << l[0];
  EXPECT_EQ(l[1],
            "interface 'vision-Simulated' description:'SimulatedCameraInterface' "
            "InterfaceID:'vision-Simulated' InterfaceType:'Custom'");
  EXPECT_NE(l[3].find("device 1 DeviceID:'vision-Simulated-SIM0002'"), std::string::npos) << l[3];
  EXPECT_NE(l[3].find("DeviceAccessStatus:'ReadWrite'"), std::string::npos) << l[3];
}

}  // namespace
