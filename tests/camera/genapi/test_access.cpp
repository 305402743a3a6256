// Effective access: flags, what a node reads, enumerations, StructRegs, ports, locks, and the
// loops through flags that real cameras' descriptions contain.
#include <cmath>
#include <string>
#include <vector>

#include "genapi_test_util.h"

namespace {

using namespace genapitest;

std::string Reg(const std::string& name, const std::string& address, const std::string& mode = "RW",
                const std::string& extra = "") {
  return "<IntReg Name=\"" + name + "\"><Address>" + address +
         "</Address><Length>4</Length><AccessMode>" + mode + "</AccessMode><pPort>Device</pPort>" +
         extra + "</IntReg>";
}

std::string Bit(const std::string& name, const std::string& address, int bit) {
  return "<MaskedIntReg Name=\"" + name + "\"><Address>" + address +
         "</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort><Bit>" +
         std::to_string(bit) + "</Bit></MaskedIntReg>";
}

// A selector whose third entry is implemented according to a register that the selector itself
// addresses, as a major maker's USB3 camera describes its I/O lines: the loop runs through an
// entry's flag only, so the description loads, and the selector's value does not depend on it.
TEST(AccessLoops, ASelectorWhoseEntryFlagReadsARegisterItAddresses) {
  MemoryPort port;
  auto map = Map(
      "<Enumeration Name=\"LineSelector\"><EnumEntry Name=\"Line0\"><Value>0</Value></EnumEntry>"
      "<EnumEntry Name=\"Line1\"><Value>1</Value></EnumEntry>"
      "<EnumEntry Name=\"Line2\"><pIsImplemented>RegLineSourceLine2Impl</pIsImplemented>"
      "<Value>2</Value></EnumEntry><pValue>LineSelectorReg</pValue></Enumeration>" +
          Reg("LineSelectorReg", "0x10") +
          "<IntSwissKnife Name=\"LineSelectorIndex\"><pVariable Name=\"S\">LineSelector</pVariable>"
          "<Formula>S</Formula></IntSwissKnife>"
          "<StructReg Comment=\"RegLineSourceImpl\"><Address>0x100</Address>"
          "<IntSwissKnife><pVariable Name=\"I\">LineSelectorIndex</pVariable>"
          "<Formula>I * 4</Formula></IntSwissKnife><Length>4</Length><AccessMode>RO</AccessMode>"
          "<pPort>Device</pPort>"
          "<StructEntry Name=\"RegLineSourceLine2Impl\"><Bit>2</Bit></StructEntry></StructReg>",
      port);
  EXPECT_EQ(map->AccessOf("LineSelector"), ga::Access::kRW);
  EXPECT_EQ(map->GetEnumeration("LineSelector"), "Line0");
  EXPECT_EQ(map->EnumerationEntries("LineSelector"), (std::vector<std::string>{"Line0", "Line1"}));
  port.Put32(0x100, 4);  // the flag register of line 0 says line 2 exists
  map->InvalidateAll();
  EXPECT_EQ(map->EnumerationEntries("LineSelector"),
            (std::vector<std::string>{"Line0", "Line1", "Line2"}));
  map->SetEnumeration("LineSelector", "Line2");
  EXPECT_EQ(port.Get32(0x10), 2u);
}

TEST(AccessLoops, ANodeAvailableByItsOwnValueLoadsAndIsAccessible) {
  MemoryPort port;
  auto map =
      Map("<Integer Name=\"A\"><Value>1</Value><pIsAvailable>A</pIsAvailable></Integer>", port);
  EXPECT_EQ(map->AccessOf("A"), ga::Access::kRW);
  EXPECT_EQ(map->GetInteger("A"), 1);
  // A loop in what values read is still refused, naming it.
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(Description(
                          "<Integer Name=\"A\"><pValue>B</pValue></Integer>"
                          "<Integer Name=\"B\"><pMax>A</pMax><Value>1</Value></Integer>")),
                      ga::ErrorKind::kDescription, "cycle", "'A'", "'B'");
}

TEST(Access, EnumerationsWithoutImplementedOrAvailableEntriesAndWhatReadsThem) {
  MemoryPort port;
  auto map = Map(
      "<Enumeration Name=\"TriggerSelector\">"
      "<EnumEntry Name=\"FrameStart\"><pIsImplemented>FrameStartImp</pIsImplemented>"
      "<pIsAvailable>FrameStartAvl</pIsAvailable><Value>0</Value></EnumEntry>"
      "<EnumEntry Name=\"LineStart\"><pIsImplemented>LineStartImp</pIsImplemented>"
      "<Value>1</Value></EnumEntry><pValue>SelReg</pValue></Enumeration>" +
          Reg("SelReg", "0x10") + Bit("FrameStartImp", "0x20", 0) + Bit("LineStartImp", "0x20", 1) +
          Bit("FrameStartAvl", "0x24", 0) +
          "<IntReg Name=\"TriggerModeReg\"><Address>0x100</Address><pIndex Offset=\"4\">"
          "TriggerSelector</pIndex><Length>4</Length><AccessMode>RW</AccessMode>"
          "<pPort>Device</pPort></IntReg>"
          "<Integer Name=\"TriggerDelay\"><Value>0</Value><pMax>TriggerModeReg</pMax></Integer>",
      port);
  EXPECT_EQ(map->AccessOf("TriggerSelector"), ga::Access::kNI);
  EXPECT_EQ(map->AccessOf("TriggerModeReg"), ga::Access::kNI);  // through pIndex
  EXPECT_EQ(map->AccessOf("TriggerDelay"), ga::Access::kNI);    // through pMax
  EXPECT_GENAPI_ERROR(map->GetEnumeration("TriggerSelector"), ga::ErrorKind::kUnknownFeature,
                      "TriggerSelector", "none of its entries is implemented");
  EXPECT_GENAPI_ERROR(map->GetInteger("TriggerModeReg"), ga::ErrorKind::kUnknownFeature,
                      "'TriggerSelector'", "none of its entries");
  EXPECT_GENAPI_ERROR(map->SetInteger("TriggerDelay", 0), ga::ErrorKind::kUnknownFeature);

  port.Put32(0x20, 1);  // FrameStart implemented, not available
  map->InvalidateAll();
  EXPECT_EQ(map->AccessOf("TriggerSelector"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("TriggerModeReg"), ga::Access::kNA);
  EXPECT_GENAPI_ERROR(map->GetInteger("TriggerModeReg"), ga::ErrorKind::kNotAvailable,
                      "none of its entries is available");
  port.Put32(0x24, 1);
  map->InvalidateAll();
  EXPECT_EQ(map->AccessOf("TriggerSelector"), ga::Access::kRW);
  EXPECT_EQ(map->GetEnumeration("TriggerSelector"), "FrameStart");
  EXPECT_EQ(map->EnumerationEntries("TriggerSelector"), (std::vector<std::string>{"FrameStart"}));
  EXPECT_GENAPI_ERROR(map->SetEnumeration("TriggerSelector", "LineStart"),
                      ga::ErrorKind::kNoSuchEntry, "LineStart");
}

TEST(Access, NotImplementedIsDecidedBeforeNotAvailable) {
  MemoryPort port;
  auto map = Map(
      Reg("Zero", "0x10") + "<Integer Name=\"One\"><Value>1</Value></Integer>" +
          "<Integer Name=\"Gone\"><pValue>Zero</pValue><pIsImplemented>Zero</pIsImplemented>"
          "</Integer>"
          // Not available by its own flag, but it reads a node that is not implemented.
          "<IntSwissKnife Name=\"Sum\"><pVariable Name=\"G\">Gone</pVariable><Formula>G + 1"
          "</Formula></IntSwissKnife>"
          "<Integer Name=\"Both\"><pValue>Sum</pValue><pIsAvailable>Zero</pIsAvailable></Integer>"
          // Its pIsImplemented node is itself not available: not available, not unimplemented.
          "<Integer Name=\"Unsure\"><Value>3</Value><pIsImplemented>Hidden</pIsImplemented>"
          "</Integer>"
          "<Integer Name=\"Hidden\"><Value>1</Value><pIsAvailable>Zero</pIsAvailable></Integer>"
          // An address formula that reads a node not implemented.
          "<IntReg Name=\"Addressed\"><pAddress>Gone</pAddress><Length>4</Length>"
          "<AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>"
          "<Integer Name=\"Fine\"><pValue>Zero</pValue><pIsImplemented>One</pIsImplemented>"
          "</Integer>",
      port);
  EXPECT_EQ(map->AccessOf("Gone"), ga::Access::kNI);
  EXPECT_EQ(map->AccessOf("Sum"), ga::Access::kNI);
  EXPECT_EQ(map->AccessOf("Both"), ga::Access::kNI);
  EXPECT_EQ(map->AccessOf("Unsure"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("Addressed"), ga::Access::kNI);
  EXPECT_EQ(map->AccessOf("Fine"), ga::Access::kRW);
  EXPECT_GENAPI_ERROR(map->GetInteger("Both"), ga::ErrorKind::kUnknownFeature, "'Both'", "'Gone'",
                      "pIsImplemented 'Zero' reads 0");
}

TEST(Access, StructRegFlagsModesAndImposedModesReachEveryEntry) {
  MemoryPort port;
  auto map =
      Map("<StructReg Comment=\"Control\"><Address>0x40</Address><Length>4</Length>"
          "<AccessMode>RW</AccessMode><pPort>Device</pPort><pIsAvailable>Ready</pIsAvailable>"
          "<StructEntry Name=\"Enable\"><Bit>0</Bit></StructEntry>"
          "<StructEntry Name=\"Status\"><Bit>1</Bit><AccessMode>RO</AccessMode></StructEntry>"
          "<StructEntry Name=\"Mode\"><pIsImplemented>Zero</pIsImplemented><LSB>2</LSB><MSB>3</MSB>"
          "</StructEntry></StructReg>" +
              Reg("ReadyReg", "0x10") + Reg("Zero", "0x14") +
              "<Integer Name=\"Ready\"><pValue>ReadyReg</pValue></Integer>",
          port);
  EXPECT_EQ(map->AccessOf("Enable"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("Status"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("Mode"), ga::Access::kNI);  // both the StructReg's and its own flag
  port.Put32(0x10, 1);
  map->InvalidateAll();
  EXPECT_EQ(map->AccessOf("Enable"), ga::Access::kRW);
  EXPECT_EQ(map->AccessOf("Status"), ga::Access::kRO);
  EXPECT_EQ(map->AccessOf("Mode"), ga::Access::kNI);
}

TEST(Access, ReadOnlyWriteOnlyLocksAndTheSelectedIndexedValue) {
  MemoryPort port;
  auto map = Map(
      Reg("Ro", "0x10", "RO") + Reg("Wo", "0x14", "WO") + Reg("Rw", "0x18") + Reg("Sel", "0x1C") +
          "<Integer Name=\"OverRo\"><pValue>Ro</pValue></Integer>"
          "<Command Name=\"Go\"><pValue>Wo</pValue><CommandValue>1</CommandValue></Command>"
          "<Integer Name=\"LockedWo\"><pValue>Wo</pValue><pIsLocked>One</pIsLocked></Integer>"
          "<Integer Name=\"One\"><Value>1</Value></Integer>"
          "<Integer Name=\"Picked\"><pIndex>Sel</pIndex><pValueIndexed Index=\"0\">Ro"
          "</pValueIndexed><pValueIndexed Index=\"1\">Rw</pValueIndexed></Integer>"
          "<Float Name=\"Scaled\"><pValue>Conv</pValue></Float>"
          "<Converter Name=\"Conv\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom>"
          "<pValue>Ro</pValue></Converter>",
      port);
  EXPECT_EQ(map->AccessOf("OverRo"), ga::Access::kRO);
  EXPECT_EQ(map->AccessOf("Go"), ga::Access::kWO);
  EXPECT_EQ(map->AccessOf("LockedWo"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("Scaled"), ga::Access::kRO);
  EXPECT_TRUE(map->IsLocked("LockedWo"));
  EXPECT_FALSE(map->IsLocked("OverRo"));
  EXPECT_EQ(map->AccessOf("Picked"), ga::Access::kRO);
  EXPECT_GENAPI_ERROR(map->SetInteger("Picked", 2), ga::ErrorKind::kNotWritable, "Picked");
  map->SetInteger("Sel", 1);
  EXPECT_EQ(map->AccessOf("Picked"), ga::Access::kRW);
  map->SetInteger("Picked", 2);
  EXPECT_EQ(port.Get32(0x18), 2u);
}

TEST(Access, PortsWithoutChunkOrEventData) {
  MemoryPort port;
  auto map = ga::NodeMap::Parse(
      Description("<Port Name=\"ChunkPort\"><ChunkID>1234</ChunkID></Port>"
                  "<Port Name=\"EventPort\"><EventID>9001</EventID></Port>"
                  "<IntReg Name=\"ChunkWidth\"><Address>0</Address><Length>4</Length><AccessMode>RO"
                  "</AccessMode><pPort>ChunkPort</pPort></IntReg>"
                  "<IntReg Name=\"EventTime\"><Address>0</Address><Length>4</Length><AccessMode>RO"
                  "</AccessMode><pPort>EventPort</pPort></IntReg>"
                  "<Integer Name=\"Width\"><pValue>ChunkWidth</pValue></Integer>"));
  for (const std::string& name : map->PortNames())
    if (!map->IsChunkOrEventPort(name)) map->Connect(&port, name);
  EXPECT_EQ(map->AccessOf("ChunkWidth"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("Width"), ga::Access::kNA);
  EXPECT_EQ(map->AccessOf("EventTime"), ga::Access::kNI);
  EXPECT_GENAPI_ERROR(map->GetInteger("Width"), ga::ErrorKind::kNotAvailable, "chunk");
  map->Connect(&port, "ChunkPort");  // a buffer with chunk data
  EXPECT_EQ(map->AccessOf("Width"), ga::Access::kRO);
}

TEST(Writes, CheckedInTheFeaturesOwnUnits) {
  MemoryPort port;
  auto map = Map(
      Reg("GainRaw", "0x10") +
          "<Integer Name=\"GainRawInt\"><pValue>GainRaw</pValue><Min>1</Min><Max>16</Max>"
          "</Integer>"
          // Gain in dB: 20 log10(raw); the raw range is 1 to 16, so 0 to about 24.08 dB.
          "<Float Name=\"Gain\"><pValue>GainDb</pValue></Float>"
          "<Converter Name=\"GainDb\"><FormulaTo>ROUND(EXP(FROM * LN(10) / 20))</FormulaTo>"
          "<FormulaFrom>20 * LN(TO) / LN(10)</FormulaFrom><pValue>GainRawInt</pValue>"
          "<Slope>Increasing</Slope></Converter>"
          "<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>16</Min><Max>64</Max><Inc>8</Inc>"
          "</Integer>" +
          Reg("WidthReg", "0x14") +
          "<Float Name=\"Exposure\"><Value>10</Value><Min>1</Min><Max>100</Max><Inc>5</Inc>"
          "</Float>"
          "<Integer Name=\"Mirrored\"><pValue>A</pValue><pValueCopy>B</pValueCopy></Integer>"
          "<Integer Name=\"A\"><pValue>RegA</pValue><Min>0</Min><Max>100</Max></Integer>"
          "<Integer Name=\"B\"><pValue>RegB</pValue><Min>10</Min><Max>200</Max></Integer>" +
          Reg("RegA", "0x20") + Reg("RegB", "0x24"),
      port);
  port.Put32(0x10, 1);
  EXPECT_DOUBLE_EQ(map->GetFloat("Gain"), 0.0);
  EXPECT_DOUBLE_EQ(map->FloatMin("Gain"), 0.0);
  EXPECT_NEAR(map->FloatMax("Gain"), 24.0824, 1e-4);
  map->SetFloat("Gain", 2.0);  // inside the range in dB: raw 1.26 rounds to 1
  EXPECT_EQ(port.Get32(0x10), 1u);
  map->SetFloat("Gain", 12.0);
  EXPECT_EQ(port.Get32(0x10), 4u);
  EXPECT_GENAPI_ERROR(map->SetFloat("Gain", 30.0), ga::ErrorKind::kOutOfRange, "30", "0 to 24.08");
  EXPECT_GENAPI_ERROR(map->SetInteger("Width", 20), ga::ErrorKind::kOutOfRange, "increment 8");
  EXPECT_GENAPI_ERROR(map->SetInteger("Width", 72), ga::ErrorKind::kOutOfRange, "16 to 64");
  map->SetInteger("Width", 24);
  map->SetFloat("Exposure", 12.5);  // a float may lie between its steps
  EXPECT_DOUBLE_EQ(map->GetFloat("Exposure"), 12.5);
  // A value copied to other nodes is held to all their ranges and written to each.
  EXPECT_EQ(map->IntegerMin("Mirrored"), 10);
  EXPECT_EQ(map->IntegerMax("Mirrored"), 100);
  EXPECT_GENAPI_ERROR(map->SetInteger("Mirrored", 5), ga::ErrorKind::kOutOfRange, "10 to 100");
  map->SetInteger("Mirrored", 42);
  EXPECT_EQ(port.Get32(0x20), 42u);
  EXPECT_EQ(port.Get32(0x24), 42u);
}

TEST(Ranges, EachBoundOnItsOwnAndConverterSlopes) {
  MemoryPort port;
  auto map = Map(
      Reg("Period", "0x10") + Reg("PeriodMax", "0x14") +
          "<Integer Name=\"PeriodInt\"><pValue>Period</pValue><Min>0</Min><pMax>PeriodMax</pMax>"
          "</Integer>"
          "<Converter Name=\"Rate\"><FormulaTo>1000000 / FROM</FormulaTo>"
          "<FormulaFrom>1000000 / TO</FormulaFrom><pValue>PeriodInt</pValue>"
          "<Slope>Decreasing</Slope></Converter>"
          "<IntConverter Name=\"Any\"><FormulaTo>FROM</FormulaTo><FormulaFrom>TO</FormulaFrom>"
          "<pValue>PeriodInt</pValue><Slope>Varying</Slope></IntConverter>"
          "<Converter Name=\"Log\"><FormulaTo>EXP(FROM)</FormulaTo><FormulaFrom>LN(TO)"
          "</FormulaFrom><pValue>PeriodInt</pValue><Slope>Increasing</Slope></Converter>"
          // Decreasing and unstated slopes of integer converters: the bounds come out in order.
          "<IntConverter Name=\"Remaining\"><FormulaTo>1000 - FROM</FormulaTo>"
          "<FormulaFrom>1000 - TO</FormulaFrom><pValue>PeriodInt</pValue><Slope>Decreasing</Slope>"
          "</IntConverter>"
          "<IntConverter Name=\"Mirror\"><FormulaTo>0 - FROM</FormulaTo>"
          "<FormulaFrom>0 - TO</FormulaFrom><pValue>PeriodInt</pValue></IntConverter>",
      port);
  port.Put32(0x14, 1000);
  // The maximum rate comes from the minimum period 0: a division by zero spoils only it.
  EXPECT_DOUBLE_EQ(map->FloatMin("Rate"), 1000.0);
  EXPECT_GENAPI_ERROR(map->FloatMax("Rate"), ga::ErrorKind::kDescription, "division by zero");
  EXPECT_EQ(map->FloatInc("Rate"), std::nullopt);
  EXPECT_EQ(map->IntegerMin("Any"), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(map->IntegerMax("Any"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(map->FloatMin("Log"), -INFINITY);  // LN(0)
  EXPECT_EQ(map->GetFloat("Log"), -INFINITY);
  EXPECT_NEAR(map->FloatMax("Log"), std::log(1000.0), 1e-12);
  EXPECT_EQ(map->IntegerMin("Remaining"), 0);  // from the largest period
  EXPECT_EQ(map->IntegerMax("Remaining"), 1000);
  EXPECT_EQ(map->IntegerMin("Mirror"), -1000);
  EXPECT_EQ(map->IntegerMax("Mirror"), 0);
  map->SetInteger("Remaining", 250);
  EXPECT_EQ(port.Get32(0x10), 750u);
  EXPECT_GENAPI_ERROR(map->SetInteger("Remaining", 1001), ga::ErrorKind::kOutOfRange, "0 to 1000");
}

TEST(Strings, MaximumLengthIsWhatAWriteMayHold) {
  MemoryPort port;
  auto map =
      Map("<StringReg Name=\"Model\"><Address>0x10</Address><Length>32</Length>"
          "<AccessMode>RO</AccessMode><pPort>Device</pPort></StringReg>"
          "<StringReg Name=\"UserId\"><Address>0x40</Address><Length>16</Length>"
          "<AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>"
          "<StringReg Name=\"Empty\"><Address>0x60</Address><pLength>ZeroLength</pLength>"
          "<AccessMode>RO</AccessMode><pPort>Device</pPort></StringReg>" +
              Reg("ZeroLength", "0x70") + "<String Name=\"Vendor\"><Value>Maker</Value></String>",
          port);
  EXPECT_EQ(map->StringMaxLength("Model"), 0);
  EXPECT_EQ(map->StringMaxLength("UserId"), 16);
  EXPECT_EQ(map->StringMaxLength("Vendor"), 5);
  EXPECT_EQ(map->GetString("Empty"), "");
  EXPECT_GENAPI_ERROR(map->SetString("UserId", std::string(17, 'x')), ga::ErrorKind::kOutOfRange,
                      "17");
}

}  // namespace

namespace {

// Cameras in the field ship descriptions with elements out of the schema's order, elements no
// schema knows and a namespace of their own: all of that loads; only what cannot be evaluated
// is refused, naming the node.
TEST(Leniency, OrderUnknownElementsAndNamespacesAreNotChecked) {
  genapitest::MemoryPort port;
  const std::string xml =
      "<?xml version=\"1.0\"?>\n<g:RegisterDescription ModelName=\"M\" VendorName=\"V\" "
      "xmlns:g=\"http://example.com/not/GenApi\">\n<g:Port Name=\"Device\"/>\n"
      "<g:Integer Name=\"Width\"><g:Representation>Linear</g:Representation><g:Unit>px</g:Unit>"
      "<g:Max>64</g:Max><g:pValue>WidthReg</g:pValue><g:Min>8</g:Min><g:Sparkle>yes</g:Sparkle>"
      "</g:Integer>\n"
      "<g:IntReg Name=\"WidthReg\"><g:pPort>Device</g:pPort><g:Length>4</g:Length>"
      "<g:AccessMode>RW</g:AccessMode><g:Address>0x10</g:Address></g:IntReg>\n"
      "<g:Gizmo Name=\"Unknown\"><g:Anything/></g:Gizmo>\n</g:RegisterDescription>\n";
  auto map = ga::NodeMap::Parse(xml);
  map->Connect(&port);
  map->SetInteger("Width", 32);
  EXPECT_EQ(port.Get32(0x10), 32u);
  EXPECT_EQ(map->IntegerMin("Width"), 8);
  EXPECT_EQ(map->UnitOf("Width"), "px");
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(genapitest::Description(
                          "<Integer Name=\"W\"><pValue>Nowhere</pValue></Integer>")),
                      ga::ErrorKind::kDescription, "'W'", "'Nowhere'");
}

}  // namespace
