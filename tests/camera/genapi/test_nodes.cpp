// Node semantics: converters and their ranges, swiss knives, selectors and the cache, commands,
// booleans, enumerations, access modes, and descriptions that must be refused.
#include <cfloat>

#include "camera/genapi/xml.h"
#include "genapi_test_util.h"

namespace genapitest {
namespace {

std::string Reg(const std::string& name, const std::string& address, const std::string& mode = "RW",
                const std::string& extra = "") {
  return "<IntReg Name=\"" + name + "\"><Address>" + address +
         "</Address><Length>4</Length><AccessMode>" + mode + "</AccessMode><pPort>Device</pPort>" +
         extra + "</IntReg>";
}

TEST(Converters, FormulaFromReadsAndFormulaToWrites) {
  MemoryPort port;
  auto map = Map(Reg("ExposureRaw", "0x10") +
                     // raw = tenths of a microsecond
                     "<Converter Name=\"ExposureConv\"><pValue>ExposureRaw</pValue>"
                     "<FormulaTo>FROM * 10</FormulaTo><FormulaFrom>TO / 10</FormulaFrom>"
                     "</Converter>"
                     "<Float Name=\"ExposureTime\"><pValue>ExposureConv</pValue>"
                     "<Unit>us</Unit></Float>" +
                     Reg("Percent", "0x20") +
                     "<Converter Name=\"Fraction\"><pValue>Percent</pValue>"
                     "<FormulaTo>FROM * 100</FormulaTo><FormulaFrom>TO / 100</FormulaFrom>"
                     "</Converter>",
                 port);
  port.Put32(0x10, 123);
  EXPECT_DOUBLE_EQ(map->GetFloat("ExposureTime"), 12.3);  // floating: not 12
  map->SetFloat("ExposureTime", 5.5);
  EXPECT_EQ(port.Get32(0x10), 55u);
  EXPECT_EQ(map->UnitOf("ExposureTime"), "us");
  // 0.29 * 100 is 28.999999999999996: the integer register gets the nearest integer.
  map->SetFloat("Fraction", 0.29);
  EXPECT_EQ(port.Get32(0x20), 29u);
}

TEST(Converters, RangeComesFromTheConvertedPValueRange) {
  MemoryPort port;
  auto map =
      Map("<Integer "
          "Name=\"PeriodRaw\"><pValue>PeriodReg</pValue><Min>10</Min><Max>1000</Max></Integer>" +
              Reg("PeriodReg", "0x10") +
              // A decreasing conversion: frequency = 1e6 / period.
              "<Converter Name=\"FrameRate\"><pValue>PeriodRaw</pValue><Slope>Decreasing</Slope>"
              "<FormulaTo>1000000 / FROM</FormulaTo><FormulaFrom>1000000 / TO</FormulaFrom>"
              "</Converter>"
              "<Converter Name=\"Doubled\"><pValue>PeriodRaw</pValue><Slope>Increasing</Slope>"
              "<FormulaTo>FROM / 2</FormulaTo><FormulaFrom>TO * 2</FormulaFrom></Converter>"
              "<IntConverter Name=\"Halved\"><pValue>Small</pValue>"
              "<FormulaTo>FROM * 2</FormulaTo><FormulaFrom>TO / 2</FormulaFrom></IntConverter>"
              "<IntReg Name=\"Small\"><Address>0x20</Address><Length>1</Length>"
              "<AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>",
          port);
  const ga::FloatRange rate = map->FloatRangeOf("FrameRate");
  EXPECT_DOUBLE_EQ(rate.min, 1000.0);  // from the maximum period
  EXPECT_DOUBLE_EQ(rate.max, 100000.0);
  const ga::FloatRange doubled = map->FloatRangeOf("Doubled");
  EXPECT_DOUBLE_EQ(doubled.min, 20.0);
  EXPECT_DOUBLE_EQ(doubled.max, 2000.0);
  const ga::IntRange halved = map->IntegerRange("Halved");
  EXPECT_EQ(halved.min, 0);
  EXPECT_EQ(halved.max, 127);  // integer division of 255
  map->SetFloat("FrameRate", 2000.0);
  EXPECT_EQ(port.Get32(0x10), 500u);
  // A write is held to the range in the feature's own units (a period of 1e6 / 10 would be
  // above 1000).
  EXPECT_GENAPI_ERROR(map->SetFloat("FrameRate", 10.0), ga::ErrorKind::kOutOfRange, "FrameRate",
                      "1000 to 100000");
  EXPECT_EQ(port.Get32(0x10), 500u);
  map->SetInteger("Halved", 21);
  EXPECT_EQ(port.bytes[0x20], 42);
  EXPECT_EQ(map->GetInteger("Halved"), 21);
}

TEST(SwissKnives, IntegerAgainstFloatingArithmetic) {
  MemoryPort port;
  auto map = Map(Reg("A", "0x10") + Reg("B", "0x14") +
                     "<IntSwissKnife Name=\"IntRatio\"><pVariable Name=\"A\">A</pVariable>"
                     "<pVariable Name=\"B\">B</pVariable><Formula>A / B</Formula></IntSwissKnife>"
                     "<SwissKnife Name=\"Ratio\"><pVariable Name=\"A\">A</pVariable>"
                     "<pVariable Name=\"B\">B</pVariable><Formula>A / B</Formula></SwissKnife>"
                     "<IntSwissKnife Name=\"Mixed\"><Formula>2.5 * 4 + 0.9</Formula>"
                     "</IntSwissKnife>"
                     // PayloadSize = Width * Height * bits per pixel / 8, bits from the PFNC code.
                     "<Integer Name=\"Width\"><Value>640</Value></Integer>"
                     "<Integer Name=\"Height\"><Value>480</Value></Integer>"
                     "<Integer Name=\"PixelFormat\"><Value>0x01100007</Value></Integer>"
                     "<IntSwissKnife Name=\"PayloadSize\"><pVariable Name=\"W\">Width</pVariable>"
                     "<pVariable Name=\"H\">Height</pVariable><pVariable Name=\"PF\">PixelFormat"
                     "</pVariable><Formula>W * H * ((PF &gt;&gt; 16) &amp; 0xFF) / 8</Formula>"
                     "</IntSwissKnife>"
                     // Constants and sub-expressions.
                     "<IntSwissKnife Name=\"Packets\"><pVariable Name=\"DATA_SIZE\">PayloadSize"
                     "</pVariable><Constant Name=\"PACKET_SIZE\">1000</Constant>"
                     "<Expression Name=\"FULL\">DATA_SIZE / PACKET_SIZE</Expression>"
                     "<Expression Name=\"REST\">(DATA_SIZE % PACKET_SIZE) ? 1 : 0</Expression>"
                     "<Formula>(FULL + REST) * PACKET_SIZE</Formula></IntSwissKnife>"
                     // Properties of a variable's node.
                     "<Integer Name=\"Limited\"><Value>5</Value><Min>2</Min><Max>90</Max>"
                     "<Inc>1</Inc></Integer>"
                     "<IntSwissKnife Name=\"Span\"><pVariable Name=\"L\">Limited</pVariable>"
                     "<Formula>L.Max - L.Min</Formula></IntSwissKnife>"
                     "<SwissKnife Name=\"Broken\"><pVariable Name=\"B\">B</pVariable>"
                     "<Formula>1 / B</Formula></SwissKnife>",
                 port);
  port.Put32(0x10, 7);
  port.Put32(0x14, 2);
  EXPECT_EQ(map->GetInteger("IntRatio"), 3);
  EXPECT_DOUBLE_EQ(map->GetFloat("Ratio"), 3.5);
  EXPECT_EQ(map->GetInteger("Mixed"), 10);  // 10.9 truncated
  EXPECT_EQ(map->GetInteger("PayloadSize"), 640 * 480 * 2);
  EXPECT_EQ(map->GetInteger("Packets"), 615000);  // 614400 rounded up to whole packets
  EXPECT_EQ(map->GetInteger("Span"), 88);
  map->SetInteger("Width", 320);
  EXPECT_EQ(map->GetInteger("PayloadSize"), 320 * 480 * 2);
  EXPECT_EQ(map->AccessOf("PayloadSize"), ga::Access::kRO);
  port.Put32(0x14, 0);
  map->InvalidateAll();
  EXPECT_GENAPI_ERROR(map->GetInteger("IntRatio"), ga::ErrorKind::kDescription, "IntRatio",
                      "division by zero");
  EXPECT_GENAPI_ERROR(map->GetFloat("Broken"), ga::ErrorKind::kDescription, "Broken",
                      "division by zero");
}

// The trigger block of a typical camera: TriggerMode at 0x300 + 0x20 per selector value.
std::string TriggerBlock() {
  return "<Enumeration Name=\"TriggerSelector\"><pValue>TriggerSelectorReg</pValue>"
         "<EnumEntry Name=\"EnumEntry_TriggerSelector_FrameStart\"><Value>0</Value></EnumEntry>"
         "<EnumEntry Name=\"EnumEntry_TriggerSelector_AcquisitionStart\"><Value>1</Value>"
         "</EnumEntry></Enumeration>" +
         Reg("TriggerSelectorReg", "0x200") +
         "<Enumeration Name=\"TriggerMode\"><pValue>TriggerModeReg</pValue>"
         "<EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry>"
         "<EnumEntry Name=\"On\"><Value>1</Value></EnumEntry></Enumeration>"
         "<IntReg Name=\"TriggerModeReg\"><Address>0x300</Address>"
         "<pIndex Offset=\"0x20\">TriggerSelector</pIndex><Length>4</Length>"
         "<AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>"
         "<Command Name=\"TriggerSoftware\"><pValue>TriggerSoftwareReg</pValue>"
         "<CommandValue>1</CommandValue></Command>" +
         Reg("TriggerSoftwareReg", "0x400") +
         "<Command Name=\"AcquisitionStart\"><pValue>StartReg</pValue>"
         "<CommandValue>1</CommandValue></Command>" +
         Reg("StartReg", "0x404", "WO");
}

TEST(Selectors, WritingASelectorChangesWhatDependentsRead) {
  MemoryPort port;
  auto map = Map(TriggerBlock(), port);
  port.Put32(0x300, 0);  // FrameStart: Off
  port.Put32(0x320, 1);  // AcquisitionStart: On
  EXPECT_EQ(map->GetEnumeration("TriggerSelector"), "FrameStart");
  EXPECT_EQ(map->GetEnumeration("TriggerMode"), "Off");
  map->SetEnumeration("TriggerSelector", "AcquisitionStart");
  EXPECT_EQ(map->GetEnumeration("TriggerMode"), "On");  // not the cached FrameStart value
  map->SetEnumeration("TriggerMode", "Off");
  EXPECT_EQ(port.Get32(0x320), 0u);
  EXPECT_EQ(port.Get32(0x300), 0u);
  map->SetEnumeration("TriggerSelector", "FrameStart");
  map->SetEnumeration("TriggerMode", "On");
  EXPECT_EQ(port.Get32(0x300), 1u);
  EXPECT_EQ(port.Get32(0x320), 0u);
  // The entry's node name works as well as its symbolic name.
  map->SetEnumeration("TriggerSelector", "EnumEntry_TriggerSelector_AcquisitionStart");
  EXPECT_EQ(map->GetEnumerationValue("TriggerSelector"), 1);
}

TEST(Selectors, InvalidatorsDropDependentCaches) {
  MemoryPort port;
  auto map = Map(Reg("Width", "0x10") +
                     Reg("PayloadReg", "0x20", "RO", "<pInvalidator>WidthFeature</pInvalidator>") +
                     "<Integer Name=\"WidthFeature\"><pValue>Width</pValue></Integer>",
                 port);
  port.Put32(0x20, 1000);
  EXPECT_EQ(map->GetInteger("PayloadReg"), 1000);
  port.Put32(0x20, 2000);  // the device recomputes it when Width changes
  EXPECT_EQ(map->GetInteger("PayloadReg"), 1000);
  map->SetInteger("WidthFeature", 64);
  EXPECT_EQ(map->GetInteger("PayloadReg"), 2000);
}

TEST(Commands, IsDoneReadsTheDeviceNotTheCache) {
  MemoryPort port;
  auto map = Map(TriggerBlock(), port);
  map->Execute("TriggerSoftware");
  EXPECT_EQ(port.Get32(0x400), 1u);
  EXPECT_FALSE(map->IsDone("TriggerSoftware"));
  port.Put32(0x400, 0);  // the device clears the self-clearing register
  const int reads = port.reads;
  EXPECT_TRUE(map->IsDone("TriggerSoftware"));
  EXPECT_GT(port.reads, reads);
  // A write-only command register cannot be read: done at once.
  map->Execute("AcquisitionStart");
  EXPECT_EQ(port.Get32(0x404), 1u);
  EXPECT_TRUE(map->IsDone("AcquisitionStart"));
  EXPECT_EQ(map->AccessOf("AcquisitionStart"), ga::Access::kWO);
}

TEST(Booleans, OnOffValuesAndTheNeitherValuePolicy) {
  MemoryPort port;
  auto map = Map(Reg("FlagReg", "0x10") +
                     "<Boolean Name=\"Flag\"><pValue>FlagReg</pValue></Boolean>"
                     "<Boolean Name=\"Odd\"><pValue>FlagReg</pValue><OnValue>3</OnValue>"
                     "<OffValue>5</OffValue></Boolean>"
                     "<Boolean Name=\"Soft\"><Value>0</Value></Boolean>",
                 port);
  EXPECT_FALSE(map->GetBoolean("Flag"));
  map->SetBoolean("Flag", true);
  EXPECT_EQ(port.Get32(0x10), 1u);
  EXPECT_TRUE(map->GetBoolean("Flag"));
  map->SetBoolean("Odd", true);
  EXPECT_EQ(port.Get32(0x10), 3u);
  map->SetBoolean("Odd", false);
  EXPECT_EQ(port.Get32(0x10), 5u);
  // A value that is neither is an error, not a guess.
  EXPECT_GENAPI_ERROR(map->GetBoolean("Flag"), ga::ErrorKind::kDescription, "Flag", "neither",
                      "OnValue 1", "OffValue 0");
  map->SetBoolean("Soft", true);
  EXPECT_TRUE(map->GetBoolean("Soft"));
}

TEST(Enumerations, EntriesPerEnumerationAvailabilityAndValues) {
  MemoryPort port;
  auto map = Map(
      "<Enumeration Name=\"PixelFormat\"><pValue>PixelFormatReg</pValue>"
      "<EnumEntry Name=\"Mono8\"><Value>0x01080001</Value></EnumEntry>"
      "<EnumEntry Name=\"RGB8Packed\"><Value>0x02180014</Value></EnumEntry>"
      "<EnumEntry Name=\"Mono16\"><Value>0x01100007</Value><pIsAvailable>Wide</pIsAvailable>"
      "</EnumEntry>"
      "<EnumEntry Name=\"Mono12\"><Value>0x01100005</Value><pIsImplemented>Wide</pIsImplemented>"
      "</EnumEntry></Enumeration>" +
          Reg("PixelFormatReg", "0x10") +
          "<Integer Name=\"Wide\"><Value>0</Value></Integer>"
          // Two enumerations with entries of the same names.
          "<Enumeration Name=\"GammaEnable\"><Value>1</Value>"
          "<EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry>"
          "<EnumEntry Name=\"On\"><Value>1</Value></EnumEntry></Enumeration>"
          "<Enumeration Name=\"LutEnable\"><Value>10</Value>"
          "<EnumEntry Name=\"Off\"><Value>10</Value></EnumEntry>"
          "<EnumEntry Name=\"On\"><Value>11</Value><Symbolic>Active</Symbolic></EnumEntry>"
          "</Enumeration>",
      port);
  port.Put32(0x10, 0x02180014);
  EXPECT_EQ(map->GetEnumeration("PixelFormat"), "RGB8Packed");
  EXPECT_EQ(map->GetEnumerationValue("PixelFormat"), 0x02180014);
  EXPECT_EQ(map->EnumerationEntries("PixelFormat"),
            (std::vector<std::string>{"Mono8", "RGB8Packed"}));
  EXPECT_GENAPI_ERROR(map->SetEnumeration("PixelFormat", "Mono16"), ga::ErrorKind::kNoSuchEntry,
                      "Mono16", "not available");
  EXPECT_GENAPI_ERROR(map->SetEnumeration("PixelFormat", "BGR8"), ga::ErrorKind::kNoSuchEntry,
                      "BGR8", "Mono8, RGB8Packed");
  map->SetInteger("Wide", 1);
  map->SetEnumeration("PixelFormat", "Mono16");
  EXPECT_EQ(port.Get32(0x10), 0x01100007u);
  EXPECT_EQ(map->EnumerationEntries("PixelFormat").size(), 4u);
  EXPECT_EQ(map->GetEnumeration("GammaEnable"), "On");
  EXPECT_EQ(map->GetEnumeration("LutEnable"), "Off");
  map->SetEnumeration("LutEnable", "Active");
  EXPECT_EQ(map->GetEnumerationValue("LutEnable"), 11);
  EXPECT_EQ(map->GetEnumeration("GammaEnable"), "On");
  // A device value no entry has.
  port.Put32(0x10, 0x12345678);
  map->InvalidateAll();
  EXPECT_GENAPI_ERROR(map->GetEnumeration("PixelFormat"), ga::ErrorKind::kDescription,
                      "PixelFormat", "305419896");
  EXPECT_EQ(map->GetEnumerationValue("PixelFormat"), 0x12345678);
}

TEST(Integers, RangeIncrementAndIndexedValues) {
  MemoryPort port;
  auto map =
      Map(Reg("WidthReg", "0x10") +
              "<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>16</Min><pMax>WidthMax</pMax>"
              "<Inc>8</Inc></Integer>"
              "<Integer Name=\"WidthMax\"><Value>1024</Value></Integer>"
              "<Integer Name=\"Selector\"><Value>0</Value></Integer>"
              "<Integer Name=\"Gain\"><pIndex>Selector</pIndex>"
              "<ValueIndexed Index=\"0\">10</ValueIndexed>"
              "<pValueIndexed Index=\"1\">GainReg</pValueIndexed>"
              "<ValueDefault>99</ValueDefault></Integer>" +
              Reg("GainReg", "0x20") +
              "<Integer Name=\"Strict\"><pIndex>Selector</pIndex>"
              "<ValueIndexed Index=\"0\">1</ValueIndexed></Integer>",
          port);
  map->SetInteger("Width", 640);
  EXPECT_EQ(port.Get32(0x10), 640u);
  EXPECT_GENAPI_ERROR(map->SetInteger("Width", 642), ga::ErrorKind::kOutOfRange, "Width",
                      "increment 8");
  EXPECT_GENAPI_ERROR(map->SetInteger("Width", 8), ga::ErrorKind::kOutOfRange, "out of range");
  EXPECT_GENAPI_ERROR(map->SetInteger("Width", 1032), ga::ErrorKind::kOutOfRange, "1024");
  map->SetInteger("WidthMax", 2048);
  map->SetInteger("Width", 1032);
  const ga::IntRange range = map->IntegerRange("Width");
  EXPECT_EQ(range.min, 16);
  EXPECT_EQ(range.max, 2048);
  EXPECT_EQ(range.inc, 8);

  EXPECT_EQ(map->GetInteger("Gain"), 10);
  map->SetInteger("Selector", 1);
  port.Put32(0x20, 55);
  EXPECT_EQ(map->GetInteger("Gain"), 55);
  map->SetInteger("Gain", 56);
  EXPECT_EQ(port.Get32(0x20), 56u);
  map->SetInteger("Selector", 7);
  EXPECT_EQ(map->GetInteger("Gain"), 99);
  EXPECT_GENAPI_ERROR(map->GetInteger("Strict"), ga::ErrorKind::kNotAvailable, "Strict",
                      "not available");
  EXPECT_EQ(map->AccessOf("Strict"), ga::Access::kNA);
}

TEST(AccessModes, ModesAvailabilityLockAndImposed) {
  MemoryPort port;
  auto map = Map(
      Reg("RoReg", "0x10", "RO") + Reg("WoReg", "0x14", "WO") + Reg("RwReg", "0x18") +
          "<Integer Name=\"Locked\"><pValue>RwReg</pValue><pIsLocked>Lock</pIsLocked></Integer>"
          "<Integer Name=\"Lock\"><Value>1</Value></Integer>"
          "<Integer Name=\"Hidden\"><pValue>RwReg</pValue><pIsAvailable>Avail</pIsAvailable>"
          "</Integer>"
          "<Boolean Name=\"Avail\"><Value>0</Value></Boolean>"
          "<Integer Name=\"Missing\"><pValue>RwReg</pValue><pIsImplemented>Avail</pIsImplemented>"
          "</Integer>"
          "<Integer Name=\"Imposed\"><pValue>RwReg</pValue>"
          "<ImposedAccessMode>RO</ImposedAccessMode></Integer>"
          "<Integer Name=\"Through\"><pValue>Hidden</pValue></Integer>",
      port);
  EXPECT_EQ(map->AccessOf("RoReg"), ga::Access::kRO);
  EXPECT_EQ(map->AccessOf("WoReg"), ga::Access::kWO);
  EXPECT_GENAPI_ERROR(map->SetInteger("RoReg", 1), ga::ErrorKind::kNotWritable, "RoReg");
  EXPECT_GENAPI_ERROR(map->GetInteger("WoReg"), ga::ErrorKind::kNotReadable, "WoReg");
  EXPECT_EQ(map->AccessOf("Locked"), ga::Access::kRO);
  EXPECT_GENAPI_ERROR(map->SetInteger("Locked", 1), ga::ErrorKind::kNotWritable, "Locked");
  map->SetInteger("Lock", 0);
  EXPECT_EQ(map->AccessOf("Locked"), ga::Access::kRW);
  map->SetInteger("Locked", 4);
  EXPECT_EQ(map->AccessOf("Hidden"), ga::Access::kNA);
  EXPECT_GENAPI_ERROR(map->GetInteger("Hidden"), ga::ErrorKind::kNotAvailable, "Hidden");
  EXPECT_EQ(map->AccessOf("Through"), ga::Access::kNA);  // its pValue's availability counts
  EXPECT_EQ(map->AccessOf("Missing"), ga::Access::kNI);
  EXPECT_GENAPI_ERROR(map->GetInteger("Missing"), ga::ErrorKind::kUnknownFeature, "Missing",
                      "not implemented");
  EXPECT_EQ(map->AccessOf("Imposed"), ga::Access::kRO);
  map->SetBoolean("Avail", true);
  EXPECT_EQ(map->GetInteger("Hidden"), 4);
  EXPECT_EQ(map->AccessOf("Missing"), ga::Access::kRW);
}

TEST(NodeMap, LookupTypesGroupsAndPorts) {
  MemoryPort device, other;
  auto map = ga::NodeMap::Parse(
      Description("<Port Name=\"TLDevice\"/>"
                  "<Category Name=\"Root\"><pFeature>Width</pFeature><pFeature>Gain</pFeature>"
                  "<pFeature>PayloadSize</pFeature></Category>"
                  "<Group Comment=\"outer\"><Group Comment=\"inner\">"
                  "<Integer Name=\"Width\"><Value>8</Value><Visibility>Beginner</Visibility>"
                  "<ToolTip>pixels</ToolTip><Extension><Anything/></Extension></Integer>"
                  "</Group></Group>"
                  "<Float Name=\"Gain\"><Value>1.5</Value></Float>"
                  "<IntReg Name=\"PayloadSize\"><Address>0</Address><Length>4</Length>"
                  "<AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>"
                  "<IntReg Name=\"Local\"><Address>0</Address><Length>4</Length>"
                  "<AccessMode>RO</AccessMode><pPort>TLDevice</pPort></IntReg>"
                  "<SmartFeature Name=\"Unused\"><FeatureID>0</FeatureID></SmartFeature>"
                  "<UnknownElement/>"));
  EXPECT_EQ(map->ModelName(), "TestCam");
  EXPECT_EQ(map->VendorName(), "Us");
  EXPECT_TRUE(map->Has("Width"));
  EXPECT_TRUE(map->Has("Unused"));
  EXPECT_FALSE(map->Has("Height"));
  EXPECT_EQ(map->TypeOf("Width"), ga::Type::kInteger);
  EXPECT_EQ(map->TypeOf("Gain"), ga::Type::kFloat);
  EXPECT_EQ(map->TypeOf("Root"), ga::Type::kOther);
  EXPECT_EQ(map->FeatureNames(), (std::vector<std::string>{"Width", "Gain", "PayloadSize"}));
  EXPECT_EQ(map->CategoryFeatures("Root"),
            (std::vector<std::string>{"Width", "Gain", "PayloadSize"}));
  EXPECT_EQ(map->PortNames(), (std::vector<std::string>{"Device", "TLDevice"}));
  EXPECT_GENAPI_ERROR(map->GetFloat("Width"), ga::ErrorKind::kWrongType, "Width", "Integer");
  EXPECT_GENAPI_ERROR(map->GetInteger("Height"), ga::ErrorKind::kUnknownFeature, "Height");
  EXPECT_GENAPI_ERROR(map->GetInteger("Unused"), ga::ErrorKind::kWrongType, "Unused");
  EXPECT_GENAPI_ERROR(map->Connect(&device, "Remote"), ga::ErrorKind::kDescription, "Remote",
                      "Device", "TLDevice");
  map->Connect(&device, "Device");
  map->Connect(&other, "TLDevice");
  device.Put32(0, 11);
  other.Put32(0, 22);
  EXPECT_EQ(map->GetInteger("PayloadSize"), 11);
  EXPECT_EQ(map->GetInteger("Local"), 22);
  EXPECT_DOUBLE_EQ(map->GetFloat("Gain"), 1.5);
}

TEST(NodeMap, NonAsciiTextEntitiesAndCdata) {
  MemoryPort port;
  auto map =
      Map("<Float Name=\"Exposure\"><Value>10</Value><Unit>\xC2\xB5s</Unit>"
          "<ToolTip>0 \xC2\xB0"
          "C to 50 \xC2\xB0"
          "C, \xC2\xAE</ToolTip></Float>"
          "<IntSwissKnife Name=\"Entities\"><Formula>(1 &lt; 2) &amp;&amp; (3 &gt; 2)</Formula>"
          "</IntSwissKnife>"
          "<IntSwissKnife Name=\"Cdata\"><Formula><![CDATA[ (4 >> 1) < 3 ]]></Formula>"
          "</IntSwissKnife>",
          port);
  EXPECT_EQ(map->UnitOf("Exposure"), "\xC2\xB5s");
  EXPECT_EQ(map->GetInteger("Entities"), 1);
  EXPECT_EQ(map->GetInteger("Cdata"), 1);
}

TEST(BadDescriptions, RefusedWithTheNodeAndTheProblem) {
  const std::pair<std::string, std::vector<const char*>> cases[] = {
      {"<Integer Name=\"A\"><pValue>Nowhere</pValue></Integer>", {"'A'", "'Nowhere'", "not exist"}},
      {"<IntSwissKnife Name=\"K\"><Formula>1 +</Formula></IntSwissKnife>", {"'K'", "1 +"}},
      {"<IntSwissKnife Name=\"K\"><Formula>Q * 2</Formula></IntSwissKnife>",
       {"'K'", "unknown name 'Q'"}},
      {"<Integer Name=\"A\"><pValue>B</pValue></Integer><Integer Name=\"B\"><pValue>A</pValue>"
       "</Integer>",
       {"cycle", "'A'", "'B'"}},
      {"<IntSwissKnife Name=\"K\"><pVariable Name=\"X\">L</pVariable><Formula>X</Formula>"
       "</IntSwissKnife><IntSwissKnife Name=\"L\"><pVariable Name=\"Y\">K</pVariable>"
       "<Formula>Y</Formula></IntSwissKnife>",
       {"cycle"}},
      {"<IntReg Name=\"R\"><pAddress>R</pAddress><Length>4</Length><pPort>Device</pPort>"
       "</IntReg>",
       {"cycle", "'R'"}},
      {"<IntSwissKnife Name=\"K\"><Expression Name=\"E1\">E2</Expression><Expression Name=\"E2\">"
       "E1 + 1</Expression><Formula>E1</Formula></IntSwissKnife>",
       {"'K'", "uses itself"}},
      {"<Integer Name=\"A\"><Value>1</Value></Integer><Float Name=\"A\"><Value>1</Value></Float>",
       {"two nodes", "'A'"}},
      {"<Integer Name=\"A\"><Value>12x</Value></Integer>", {"'A'", "12x", "not an integer"}},
      {"<Integer Name=\"A\"></Integer>", {"'A'", "neither"}},
      {"<IntReg Name=\"R\"><Address>0</Address><Length>9</Length><pPort>Device</pPort></IntReg>",
       {"'R'", "Length"}},
      {"<IntReg Name=\"R\"><Address>0</Address><pPort>Device</pPort></IntReg>", {"'R'", "Length"}},
      {"<MaskedIntReg Name=\"M\"><Address>0</Address><Length>2</Length><pPort>Device</pPort>"
       "<LSB>0</LSB><MSB>16</MSB></MaskedIntReg>",
       {"'M'", "bit 16"}},
      {"<Integer Name=\"A\"><pValue>Root</pValue></Integer><Category Name=\"Root\"/>",
       {"'A'", "Category", "no number"}},
      {"<Converter Name=\"C\"><pValue>V</pValue><FormulaTo>FROM</FormulaTo></Converter>"
       "<Integer Name=\"V\"><Value>1</Value></Integer>",
       {"'C'", "FormulaFrom"}},
      {"<Enumeration Name=\"E\"><Value>0</Value><EnumEntry Name=\"X\"><Value>0</Value></EnumEntry>"
       "<EnumEntry Name=\"X\"><Value>1</Value></EnumEntry></Enumeration>",
       {"'E'", "two entries"}},
      {"<IntReg Name=\"R\"><Address>0</Address><Length>4</Length><pPort>Nope</pPort></IntReg>",
       {"'R'", "Nope"}},
      {"<Boolean Name=\"B\"><Value>0</Value><OnValue>2</OnValue><OffValue>2</OffValue></Boolean>",
       {"'B'", "both 2"}},
  };
  for (const auto& [body, pieces] : cases) {
    SCOPED_TRACE(body);
    const ga::Error e = ErrorOf([&] { ga::NodeMap::Parse(Description(body)); });
    EXPECT_EQ(e.Kind(), ga::ErrorKind::kDescription);
    for (const char* piece : pieces)
      EXPECT_NE(std::string(e.what()).find(piece), std::string::npos)
          << "'" << e.what() << "' lacks '" << piece << "'";
  }
}

TEST(BadDescriptions, BrokenXml) {
  const std::string good = Description("<Integer Name=\"A\"><Value>1</Value></Integer>");
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(good.substr(0, good.size() / 2)),
                      ga::ErrorKind::kDescription, "not well-formed");
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse("plain text"), ga::ErrorKind::kDescription,
                      "not well-formed");
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse("<html><body/></html>"), ga::ErrorKind::kDescription,
                      "root element is <html>");
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse("<a><b></a></b>"), ga::ErrorKind::kDescription,
                      "not well-formed");
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(""), ga::ErrorKind::kDescription);
  // Deep nesting is refused before the recursive parser sees it.
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(deep), ga::ErrorKind::kDescription, "nested too deep");
  std::string closed_deep = deep;
  for (int i = 0; i < 100000; ++i) closed_deep += "</a>";
  EXPECT_GENAPI_ERROR(ga::NodeMap::Parse(closed_deep), ga::ErrorKind::kDescription, "too deep");
}

TEST(BadDescriptions, DepthCheckFollowsTheTokens) {
  const ga::XmlLimits limits{4, 1000};
  std::string reason;
  // Markup inside comments, CDATA, attribute values and declarations does not nest...
  EXPECT_TRUE(ga::CheckXmlLimits(
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ELEMENT r ANY>]><r a=\"<b><c><d><e>\">"
      "<!-- <b><c><d><e> --><![CDATA[<b><c><d><e>]]><x/><y></y></r>",
      limits, &reason));
  // ...and closing tags hidden in them do not hide real nesting.
  EXPECT_FALSE(ga::CheckXmlLimits(
      "<r><!-- </r></r></r> --><b a='</b></b>'><![CDATA[</b></b>]]><c><d><e>", limits, &reason));
  EXPECT_NE(reason.find("too deep"), std::string::npos);
  EXPECT_FALSE(ga::CheckXmlLimits(
      "<r>" + std::string(2000, 'x') + "<a/><a/><a/>" +
          [] {
            std::string s;
            for (int i = 0; i < 1000; ++i) s += "<a b='1'/>";
            return s;
          }(),
      limits, &reason));
  EXPECT_NE(reason.find("too many"), std::string::npos);
}

TEST(BadDescriptions, EvaluationStaysBounded) {
  // Each knife uses the next twice: 2^40 evaluations if nothing stopped it.
  std::string body;
  for (int i = 0; i < 40; ++i)
    body += "<IntSwissKnife Name=\"K" + std::to_string(i) + "\"><pVariable Name=\"X\">K" +
            std::to_string(i + 1) + "</pVariable><Formula>X + X</Formula></IntSwissKnife>";
  body += "<Integer Name=\"K40\"><Value>1</Value></Integer>";
  MemoryPort port;
  auto map = Map(body, port);
  EXPECT_GENAPI_ERROR(map->GetInteger("K0"), ga::ErrorKind::kDescription, "steps");
  EXPECT_EQ(map->GetInteger("K30"), 1024);
  // A long but legal chain of references.
  std::string chain;
  for (int i = 0; i < 300; ++i)
    chain += "<Integer Name=\"C" + std::to_string(i) + "\"><pValue>C" + std::to_string(i + 1) +
             "</pValue></Integer>";
  chain += "<Integer Name=\"C300\"><Value>5</Value></Integer>";
  auto chained = Map(chain, port);
  EXPECT_EQ(chained->GetInteger("C250"), 5);
  EXPECT_GENAPI_ERROR(chained->GetInteger("C0"), ga::ErrorKind::kDescription, "nested");
}

}  // namespace
}  // namespace genapitest
