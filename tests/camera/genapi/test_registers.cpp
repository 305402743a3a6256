// Register semantics: byte order, sign extension, masked bit ranges numbered the GenICam way in
// both byte orders, address sums with index offsets, string and float registers, and the
// register cache.
#include "genapi_test_util.h"

namespace genapitest {
namespace {

std::string IntReg(const std::string& name, const std::string& address, int length,
                   const std::string& extra = "") {
  return "<IntReg Name=\"" + name + "\"><Address>" + address + "</Address><Length>" +
         std::to_string(length) + "</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>" +
         extra + "</IntReg>";
}

std::string Masked(const std::string& name, const std::string& bits, const std::string& extra,
                   int length = 4) {
  return "<MaskedIntReg Name=\"" + name + "\"><Address>0x100</Address><Length>" +
         std::to_string(length) + "</Length><AccessMode>RW</AccessMode><pPort>Device</pPort>" +
         bits + extra + "</MaskedIntReg>";
}

TEST(Registers, ByteOrderAndSignExtensionForEveryLength) {
  MemoryPort port;
  std::string body;
  for (int length = 1; length <= 8; ++length) {
    const std::string n = std::to_string(length);
    body += IntReg("LeU" + n, "0x100", length);
    body += IntReg("LeS" + n, "0x100", length, "<Sign>Signed</Sign>");
    body += IntReg("BeU" + n, "0x100", length, "<Endianess>BigEndian</Endianess>");
    body +=
        IntReg("BeS" + n, "0x100", length, "<Sign>Signed</Sign><Endianess>BigEndian</Endianess>");
  }
  auto map = Map(body, port);
  port.Put(0x100, {0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  for (int length = 1; length <= 8; ++length) {
    SCOPED_TRACE(length);
    const std::string n = std::to_string(length);
    const std::uint64_t all = length == 8 ? ~0ull : (1ull << (8 * length)) - 1;
    EXPECT_EQ(static_cast<std::uint64_t>(map->GetInteger("LeU" + n)), all - 1);
    EXPECT_EQ(map->GetInteger("LeS" + n), -2);
    // Big-endian: the first byte is the most significant.
    const std::uint64_t be = (all >> 8) | (0xFEull << (8 * (length - 1)));
    EXPECT_EQ(static_cast<std::uint64_t>(map->GetInteger("BeU" + n)), length == 1 ? 0xFE : be);
    EXPECT_LT(map->GetInteger("BeS" + n), 0);
  }
  // Writing puts the bytes in the register's own order.
  map->SetInteger("BeU4", 0x01020304);
  EXPECT_EQ(std::vector<std::uint8_t>(port.bytes.begin() + 0x100, port.bytes.begin() + 0x104),
            (std::vector<std::uint8_t>{1, 2, 3, 4}));
  map->SetInteger("LeS2", -3);
  EXPECT_EQ(port.bytes[0x100], 0xFD);
  EXPECT_EQ(port.bytes[0x101], 0xFF);
  EXPECT_EQ(port.bytes[0x102], 3);  // untouched
  // The value must fit the register.
  EXPECT_GENAPI_ERROR(map->SetInteger("LeU1", 256), ga::ErrorKind::kOutOfRange, "LeU1", "8 bits");
  EXPECT_GENAPI_ERROR(map->SetInteger("LeU1", -1), ga::ErrorKind::kOutOfRange);
  EXPECT_GENAPI_ERROR(map->SetInteger("LeS1", 128), ga::ErrorKind::kOutOfRange);
  map->SetInteger("LeS1", -128);
  const ga::IntRange range = map->IntegerRange("LeS2");
  EXPECT_EQ(range.min, -32768);
  EXPECT_EQ(range.max, 32767);
  EXPECT_EQ(map->IntegerRange("LeU4").max, 0xFFFFFFFF);
}

TEST(Registers, MaskedBitsAreNumberedByByteOrder) {
  MemoryPort port;
  auto map = Map(
      // Little-endian: bit 0 is the least significant bit.
      Masked("LeNibble", "<LSB>4</LSB><MSB>7</MSB>", "") + Masked("LeBit0", "<Bit>0</Bit>", "") +
          Masked("LeSigned", "<LSB>0</LSB><MSB>3</MSB>", "<Sign>Signed</Sign>") +
          // Big-endian: bit 0 is the most significant bit of the whole register, so the low
          // half of a 32-bit register is LSB 31, MSB 16.
          Masked("BeLowHalf", "<LSB>31</LSB><MSB>16</MSB>", "<Endianess>BigEndian</Endianess>") +
          Masked("BeHighHalf", "<LSB>15</LSB><MSB>0</MSB>", "<Endianess>BigEndian</Endianess>") +
          Masked("BeBit0", "<Bit>0</Bit>", "<Endianess>BigEndian</Endianess>") +
          Masked("BeBit31", "<Bit>31</Bit>", "<Endianess>BigEndian</Endianess>") +
          Masked("BeSigned", "<LSB>7</LSB><MSB>4</MSB>",
                 "<Endianess>BigEndian</Endianess><Sign>Signed</Sign>") +
          Masked("Be16", "<LSB>15</LSB><MSB>8</MSB>", "<Endianess>BigEndian</Endianess>", 2),
      port);
  port.Put(0x100, {0xA1, 0x00, 0x00, 0x00});  // little-endian value 0x000000A1
  EXPECT_EQ(map->GetInteger("LeNibble"), 0xA);
  EXPECT_EQ(map->GetInteger("LeBit0"), 1);
  EXPECT_EQ(map->GetInteger("LeSigned"), 1);
  map->InvalidateAll();
  port.Put(0x100, {0x12, 0x34, 0x56, 0x78});  // big-endian value 0x12345678
  EXPECT_EQ(map->GetInteger("BeLowHalf"), 0x5678);
  EXPECT_EQ(map->GetInteger("BeHighHalf"), 0x1234);
  EXPECT_EQ(map->GetInteger("BeBit0"), 0);
  EXPECT_EQ(map->GetInteger("BeBit31"), 0);
  EXPECT_EQ(map->GetInteger("Be16"), 0x34);  // low byte of the 16-bit register 0x1234
  map->InvalidateAll();
  port.Put(0x100, {0x80, 0x00, 0x00, 0x01});
  EXPECT_EQ(map->GetInteger("BeBit0"), 1);
  EXPECT_EQ(map->GetInteger("BeBit31"), 1);
  map->InvalidateAll();
  port.Put(0x100, {0xF0, 0x00, 0x00, 0x0F});  // bits 0-3 (BE) = 0xF, LE bits 0-3 = 0
  EXPECT_EQ(map->GetInteger("LeSigned"), 0);
  EXPECT_EQ(map->GetInteger("BeSigned"), 0);  // BE bits 4-7 = 0 here
  map->InvalidateAll();
  port.Put(0x100, {0x0E, 0x00, 0x00, 0x0F});
  EXPECT_EQ(map->GetInteger("BeSigned"), -2);  // BE bits 4-7 = 0xE, sign-extended
  EXPECT_EQ(map->GetInteger("LeSigned"), -2);  // LE bits 0-3 = 0xE, sign-extended
}

TEST(Registers, MaskedWritesChangeOnlyTheirField) {
  MemoryPort port;
  auto map =
      Map(Masked("LeField", "<LSB>8</LSB><MSB>11</MSB>", "") +
              Masked("BeLowHalf", "<LSB>31</LSB><MSB>16</MSB>", "<Endianess>BigEndian</Endianess>"),
          port);
  port.Put(0x100, {0xFF, 0xFF, 0xFF, 0xFF});
  map->SetInteger("LeField", 0x5);
  EXPECT_EQ(port.Get32(0x100), 0xFFFFF5FFu);
  map->SetInteger("BeLowHalf", 0xABCD);
  EXPECT_EQ(std::vector<std::uint8_t>(port.bytes.begin() + 0x100, port.bytes.begin() + 0x104),
            (std::vector<std::uint8_t>{0xFF, 0xF5, 0xAB, 0xCD}));
  EXPECT_GENAPI_ERROR(map->SetInteger("LeField", 16), ga::ErrorKind::kOutOfRange, "4 bits");
  EXPECT_EQ(map->IntegerRange("BeLowHalf").max, 0xFFFF);
}

TEST(Registers, StructEntriesShareOneRegister) {
  MemoryPort port;
  auto map =
      Map("<StructReg Comment=\"Control\"><Address>0x40</Address><Length>4</Length>"
          "<AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess>"
          "<StructEntry Name=\"Enable\"><Bit>31</Bit></StructEntry>"
          // Big-endian bits 16 to 23: the third byte.
          "<StructEntry Name=\"Gain\"><LSB>23</LSB><MSB>16</MSB></StructEntry>"
          "<StructEntry Name=\"Status\"><Bit>0</Bit><AccessMode>RO</AccessMode></StructEntry>"
          "</StructReg>",
          port);
  port.Put(0x40, {0x80, 0x00, 0x00, 0x00});
  EXPECT_EQ(map->GetInteger("Status"), 1);
  EXPECT_EQ(map->GetInteger("Enable"), 0);
  map->SetInteger("Enable", 1);
  map->SetInteger("Gain", 0x42);
  // Each write saw the other's bits: the cached register follows every write.
  EXPECT_EQ(std::vector<std::uint8_t>(port.bytes.begin() + 0x40, port.bytes.begin() + 0x44),
            (std::vector<std::uint8_t>{0x80, 0x00, 0x42, 0x01}));
  EXPECT_EQ(map->GetInteger("Gain"), 0x42);
  EXPECT_EQ(map->AccessOf("Status"), ga::Access::kRO);
}

TEST(Registers, AddressIsTheSumOfEveryPart) {
  MemoryPort port;
  auto map = Map(
      "<Integer Name=\"Base\"><Value>0x20</Value></Integer>"
      "<Integer Name=\"Sel\"><Value>2</Value><Min>0</Min><Max>7</Max></Integer>"
      "<Integer Name=\"Stride\"><Value>0x10</Value></Integer>"
      // 0x100 + 0x10 + Base + Sel * 4
      "<IntReg Name=\"Summed\"><Address>0x100</Address><Address>0x10</Address>"
      "<pAddress>Base</pAddress><pIndex Offset=\"4\">Sel</pIndex><Length>4</Length>"
      "<AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>"
      // No Offset: the register's length.
      "<IntReg Name=\"DefaultOffset\"><Address>0x200</Address><pIndex>Sel</pIndex>"
      "<Length>2</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>"
      // pOffset: another node's value.
      "<IntReg Name=\"NodeOffset\"><Address>0x300</Address><pIndex pOffset=\"Stride\">Sel</pIndex>"
      "<Length>1</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>"
      // An embedded swiss knife adds its value.
      "<IntReg Name=\"Knife\"><Address>0x400</Address><IntSwissKnife><pVariable Name=\"S\">Sel"
      "</pVariable><Formula>S * 0x100</Formula></IntSwissKnife><Length>1</Length>"
      "<AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>",
      port);
  port.Put32(0x100 + 0x10 + 0x20 + 2 * 4, 0xCAFE);
  port.Put(0x200 + 2 * 2, {0x34, 0x12});
  port.Put(0x300 + 2 * 0x10, {0x77});
  port.Put(0x400 + 0x200, {0x99});
  EXPECT_EQ(map->GetInteger("Summed"), 0xCAFE);
  EXPECT_EQ(map->GetInteger("DefaultOffset"), 0x1234);
  EXPECT_EQ(map->GetInteger("NodeOffset"), 0x77);
  EXPECT_EQ(map->GetInteger("Knife"), 0x99);
}

TEST(Registers, StringRegisters) {
  MemoryPort port;
  auto map =
      Map("<StringReg Name=\"Name\"><Address>0x80</Address><Length>8</Length>"
          "<AccessMode>RW</AccessMode><pPort>Device</pPort></StringReg>"
          "<String Name=\"Label\"><pValue>Name</pValue></String>"
          "<String Name=\"Fixed\"><Value>hello</Value></String>",
          port);
  port.Put(0x80, {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'});  // full length, no NUL
  EXPECT_EQ(map->GetString("Name"), "ABCDEFGH");
  map->SetString("Label", "xy");
  EXPECT_EQ(std::string(port.bytes.begin() + 0x80, port.bytes.begin() + 0x88),
            std::string("xy\0\0\0\0\0\0", 8));
  EXPECT_EQ(map->GetString("Label"), "xy");
  map->SetString("Name", "12345678");  // exactly the length: no room for a NUL
  map->InvalidateAll();
  EXPECT_EQ(map->GetString("Name"), "12345678");
  EXPECT_GENAPI_ERROR(map->SetString("Name", "123456789"), ga::ErrorKind::kOutOfRange, "Name",
                      "9 characters");
  EXPECT_GENAPI_ERROR(map->SetString("Name", std::string("a\0b", 3)), ga::ErrorKind::kOutOfRange,
                      "NUL");
  EXPECT_EQ(map->GetString("Fixed"), "hello");
  map->SetString("Fixed", "bye");
  EXPECT_EQ(map->GetString("Fixed"), "bye");
}

TEST(Registers, FloatRegistersInBothByteOrders) {
  MemoryPort port;
  auto map = Map(
      "<FloatReg Name=\"F4\"><Address>0x10</Address><Length>4</Length><AccessMode>RW</AccessMode>"
      "<pPort>Device</pPort></FloatReg>"
      "<FloatReg Name=\"F8be\"><Address>0x20</Address><Length>8</Length>"
      "<AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess>"
      "</FloatReg>",
      port);
  port.Put(0x10, {0x00, 0x00, 0xC0, 0x3F});                          // 1.5f little-endian
  port.Put(0x20, {0x40, 0x09, 0x21, 0xFB, 0x54, 0x44, 0x2D, 0x18});  // pi big-endian
  EXPECT_DOUBLE_EQ(map->GetFloat("F4"), 1.5);
  EXPECT_DOUBLE_EQ(map->GetFloat("F8be"), 3.141592653589793);
  map->SetFloat("F8be", -2.0);
  EXPECT_EQ(port.bytes[0x20], 0xC0);
  EXPECT_EQ(port.bytes[0x27], 0x00);
  EXPECT_GENAPI_ERROR(map->SetFloat("F4", 1e300), ga::ErrorKind::kOutOfRange, "4-byte");
}

TEST(Registers, CacheModes) {
  MemoryPort port;
  auto map = Map(IntReg("Through", "0x10", 4) +
                     IntReg("Around", "0x20", 4, "<Cachable>WriteAround</Cachable>") +
                     IntReg("None", "0x30", 4, "<Cachable>NoCache</Cachable>") +
                     IntReg("Polled", "0x40", 4, "<PollingTime>100</PollingTime>"),
                 port);
  map->SetInteger("Through", 5);
  int reads = port.reads;
  EXPECT_EQ(map->GetInteger("Through"), 5);
  EXPECT_EQ(port.reads, reads);  // the written value is the cached value
  port.Put32(0x10, 6);           // the device changes it behind our back
  EXPECT_EQ(map->GetInteger("Through"), 5);
  map->InvalidateAll();
  EXPECT_EQ(map->GetInteger("Through"), 6);

  map->SetInteger("Around", 5);
  port.Put32(0x20, 7);  // a device that clamps what was written
  EXPECT_EQ(map->GetInteger("Around"), 7);
  reads = port.reads;
  EXPECT_EQ(map->GetInteger("Around"), 7);
  EXPECT_EQ(port.reads, reads);  // read once, then cached

  for (const char* name : {"None", "Polled"}) {
    reads = port.reads;
    map->GetInteger(name);
    map->GetInteger(name);
    EXPECT_EQ(port.reads, reads + 2) << name;
  }
}

TEST(Registers, PortProblemsNameTheRegister) {
  MemoryPort port(0x100);
  auto map = Map(IntReg("Far", "0x1000", 4) + IntReg("Near", "0x10", 4), port);
  EXPECT_GENAPI_ERROR(map->GetInteger("Far"), ga::ErrorKind::kPort, "Far", "0x1000",
                      "outside the registers");
  port.fail = true;
  EXPECT_GENAPI_ERROR(map->SetInteger("Near", 1), ga::ErrorKind::kPort, "Near", "writing",
                      "does not answer");
  auto unconnected = ga::NodeMap::Parse(Description(IntReg("Near", "0x10", 4)));
  EXPECT_GENAPI_ERROR(unconnected->GetInteger("Near"), ga::ErrorKind::kPort, "not connected");
}

}  // namespace
}  // namespace genapitest
