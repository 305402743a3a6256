// Device descriptions of a chosen size in the shapes that make a description large: many
// registers (without <pPort>, so each one finds the only port), one swiss knife with many
// variables, one enumeration with many entries, many features behind groups nested as deeply
// as allowed, and many selectors whose entry is implemented according to a register the
// selector addresses (a loop through flags, as real cameras have). Shared by the tests that open
// them at the description limits and by the benchmark that prints the opening time against size.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vision::test {

enum class DescriptionShape { kRegisters, kVariables, kEntries, kNesting, kSelectors };

struct ShapeInfo {
  DescriptionShape shape;
  const char* name;
  std::size_t items_per_unit;  // XML items (elements, attributes, texts) one unit adds, at most
};

inline const std::vector<ShapeInfo>& DescriptionShapes() {
  static const std::vector<ShapeInfo> shapes = {
      {DescriptionShape::kRegisters, "registers", 9},
      {DescriptionShape::kVariables, "variables", 4},
      {DescriptionShape::kEntries, "entries", 5},
      {DescriptionShape::kNesting, "nested features", 6},
      {DescriptionShape::kSelectors, "selectors", 36},
  };
  return shapes;
}

// A description of `units` units of the shape (registers, variables, entries, ...).
inline std::string LargeDescription(DescriptionShape shape, std::size_t units) {
  std::string x =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<RegisterDescription ModelName=\"Large\" "
      "VendorName=\"Us\" SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" "
      "SchemaSubMinorVersion=\"0\">\n<Port Name=\"Device\"/>\n";
  x.reserve(units * 64 + 1024);
  const auto n = [](std::size_t i) { return std::to_string(i); };
  switch (shape) {
    case DescriptionShape::kRegisters:
      for (std::size_t i = 0; i < units; ++i)
        x += "<IntReg Name=\"R" + n(i) + "\"><Address>" + n(i * 4) +
             "</Address><Length>4</Length><AccessMode>RW</AccessMode></IntReg>\n";
      break;
    case DescriptionShape::kVariables: {
      x += "<IntReg Name=\"X\"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode>"
           "</IntReg>\n<IntSwissKnife Name=\"K\">";
      for (std::size_t i = 0; i < units; ++i)
        x += "<pVariable Name=\"V" + n(i) + "\">X</pVariable>";
      x += "<Formula>V0 + (V";
      x += n(units / 2);
      x += " + V";
      x += n(units - 1);
      x += ")</Formula></IntSwissKnife>\n";
      break;
    }
    case DescriptionShape::kEntries:
      x += "<IntReg Name=\"X\"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode>"
           "</IntReg>\n<Enumeration Name=\"E\"><pValue>X</pValue>";
      for (std::size_t i = 0; i < units; ++i)
        x += "<EnumEntry Name=\"E" + n(i) + "\"><Value>" + n(i) + "</Value></EnumEntry>";
      x += "</Enumeration>\n";
      break;
    case DescriptionShape::kNesting: {
      constexpr int kDepth = 60;  // below the nesting limit of the XML reader
      for (int d = 0; d < kDepth; ++d) x += "<Group Comment=\"g\">";
      x += "<IntReg Name=\"X\"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode>"
           "</IntReg>\n";
      for (std::size_t i = 0; i < units; ++i) {
        x += "<Integer Name=\"I";
        x += n(i);
        x += "\"><pValue>X</pValue></Integer>\n";
      }
      for (int d = 0; d < kDepth; ++d) x += "</Group>";
      x += "\n";
      break;
    }
    case DescriptionShape::kSelectors:
      for (std::size_t i = 0; i < units; ++i) {
        const std::string s = n(i);
        x += "<Enumeration Name=\"S" + s + "\"><pIsAvailable>A" + s +
             "</pIsAvailable><EnumEntry Name=\"On\"><pIsImplemented>A" + s +
             "</pIsImplemented><Value>0</Value></EnumEntry><pValue>R" + s +
             "</pValue></Enumeration><IntReg Name=\"R" + s + "\"><Address>" + n(i * 4) +
             "</Address><Length>4</Length><AccessMode>RW</AccessMode></IntReg><IntSwissKnife "
             "Name=\"K" +
             s + "\"><pVariable Name=\"S\">S" + s +
             "</pVariable><Formula>S * 4</Formula></IntSwissKnife><MaskedIntReg Name=\"A" + s +
             "\"><pAddress>K" + s + "</pAddress><Length>4</Length><Bit>0</Bit></MaskedIntReg>\n";
      }
      break;
  }
  x += "</RegisterDescription>\n";
  return x;
}

}  // namespace vision::test
