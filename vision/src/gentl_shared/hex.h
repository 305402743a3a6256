// Numbers in hexadecimal as both sides of the GenTL boundary write them: register addresses and
// handles in messages ("0x1A2B"), and the address and size of a description URL ("1A2B").
// Header-only.
#pragma once

#include <cstdint>
#include <string>

namespace vision::gentl {

// Upper-case digits without a prefix; "0" for zero.
inline std::string HexDigits(std::uint64_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return out;
}

// The digits with the prefix 0x.
inline std::string Hex(std::uint64_t value) { return "0x" + HexDigits(value); }

}  // namespace vision::gentl
