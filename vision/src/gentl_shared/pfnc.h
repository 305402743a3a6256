// Pixel formats by their GenICam PFNC codes: the values cameras, producers, Aravis and our
// consumer exchange (a producer's PixelFormat register and buffer info, the formats the library
// converts into images). Header-only.
#pragma once

#include <cstdint>

namespace vision::pfnc {

inline constexpr std::uint32_t kMono8 = 0x01080001;
inline constexpr std::uint32_t kMono10 = 0x01100003;
inline constexpr std::uint32_t kMono12 = 0x01100005;
inline constexpr std::uint32_t kMono14 = 0x01100025;
inline constexpr std::uint32_t kMono16 = 0x01100007;
inline constexpr std::uint32_t kRGB8 = 0x02180014;
inline constexpr std::uint32_t kBGR8 = 0x02180015;
inline constexpr std::uint32_t kBayerRG8 = 0x01080009;

}  // namespace vision::pfnc
