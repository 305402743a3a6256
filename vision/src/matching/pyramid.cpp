// Mean image pyramids and Sobel gradients for the shape search.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "matching/pyramid.h"

#include "detail/parallel.h"
#include "detail/simd.h"
#include "matching/vector.h"

namespace vision::detail {

namespace {
inline std::int16_t RoundToInt16(float v) {
  v = std::clamp(v, -32767.0f, 32767.0f);
  return static_cast<std::int16_t>(v >= 0 ? v + 0.5f : v - 0.5f);
}

// Rounded mean of the 2x2 block at column 2 c of rows a and b.
inline std::uint8_t HalvePixel(const std::uint8_t* a, const std::uint8_t* b, int c) {
  const int sum = a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1];
  return static_cast<std::uint8_t>((sum + 2) >> 2);
}

// Sobel gradient (row, column) of column c from the rows above, at and below it.
inline void SobelPixel(const std::uint8_t* up, const std::uint8_t* mid, const std::uint8_t* dn,
                       int c, std::int16_t* out) {
  const int gr = (dn[c - 1] + 2 * dn[c] + dn[c + 1]) - (up[c - 1] + 2 * up[c] + up[c + 1]);
  const int gc =
      (up[c + 1] + 2 * mid[c + 1] + dn[c + 1]) - (up[c - 1] + 2 * mid[c - 1] + dn[c - 1]);
  out[2 * c] = static_cast<std::int16_t>(gr);
  out[2 * c + 1] = static_cast<std::int16_t>(gc);
}
// The outermost columns' gradients are zero.
inline void ZeroOuterColumns(int w, int c0, int c1, std::int16_t* out) {
  if (c0 == 0) out[0] = out[1] = 0;
  if (c1 == w && w > 0) out[2 * (w - 1)] = out[2 * (w - 1) + 1] = 0;
}
}  // namespace

void HalveBytesRef(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  const int dw = w / 2, dh = h / 2;
  for (int r = 0; r < dh; ++r) {
    const std::uint8_t* a = src + std::size_t(2 * r) * w;
    const std::uint8_t* b = a + w;
    std::uint8_t* out = dst + std::size_t(r) * dw;
    for (int c = 0; c < dw; ++c) out[c] = HalvePixel(a, b, c);
  }
}

void HalveFloatsRef(const float* src, int w, int h, float* dst) {
  const int dw = w / 2, dh = h / 2;
  for (int r = 0; r < dh; ++r) {
    const float* a = src + std::size_t(2 * r) * w;
    const float* b = a + w;
    float* out = dst + std::size_t(r) * dw;
    for (int c = 0; c < dw; ++c) {
      out[c] = ((a[2 * c] + a[2 * c + 1]) + (b[2 * c] + b[2 * c + 1])) * 0.25f;
    }
  }
}

void SobelBytesRef(const std::uint8_t* src, int w, int h, int r0, int r1, int c0, int c1,
                   std::int16_t* grad) {
  for (int r = r0; r < r1; ++r) {
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    if (r == 0 || r == h - 1 || w < 3) {
      std::fill(out + 2 * c0, out + 2 * c1, std::int16_t(0));
      continue;
    }
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    for (int c = std::max(c0, 1); c < std::min(c1, w - 1); ++c) SobelPixel(up, mid, dn, c, out);
    ZeroOuterColumns(w, c0, c1, out);
  }
}

void SobelFloatsRef(const float* src, int w, int h, float scale, int r0, int r1, int c0, int c1,
                    std::int16_t* grad) {
  const float k = scale * 0.25f;
  for (int r = r0; r < r1; ++r) {
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    if (r == 0 || r == h - 1 || w < 3) {
      std::fill(out + 2 * c0, out + 2 * c1, std::int16_t(0));
      continue;
    }
    const float* up = src + std::size_t(r - 1) * w;
    const float* mid = up + w;
    const float* dn = mid + w;
    for (int c = std::max(c0, 1); c < std::min(c1, w - 1); ++c) {
      const float gr =
          ((dn[c - 1] + dn[c + 1]) + 2.0f * dn[c]) - ((up[c - 1] + up[c + 1]) + 2.0f * up[c]);
      const float gc = ((up[c + 1] + dn[c + 1]) + 2.0f * mid[c + 1]) -
                       ((up[c - 1] + dn[c - 1]) + 2.0f * mid[c - 1]);
      out[2 * c] = RoundToInt16(gr * k);
      out[2 * c + 1] = RoundToInt16(gc * k);
    }
    ZeroOuterColumns(w, c0, c1, out);
  }
}

#if defined(VISION_SIMD_128)
namespace {

template <class V>
void HalveBytesVec(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  constexpr int kStep = 2 * V::kLanes;  // output pixels per vector
  const int dw = w / 2, dh = h / 2;
  for (int r = 0; r < dh; ++r) {
    const std::uint8_t* a = src + std::size_t(2 * r) * w;
    const std::uint8_t* b = a + w;
    std::uint8_t* out = dst + std::size_t(r) * dw;
    int c = 0;
    for (; c + kStep <= dw; c += kStep) {
      V::StoreQuarter(out + c, V::Add16(V::PairSums(a + 2 * c), V::PairSums(b + 2 * c)));
    }
    for (; c < dw; ++c) out[c] = HalvePixel(a, b, c);
  }
}

// 2 * V::kLanes columns at a time; the outermost pixels and the columns left over take the
// reference.
template <class V>
void SobelBytesVec(const std::uint8_t* src, int w, int h, int r0, int r1, int c0, int c1,
                   std::int16_t* grad) {
  constexpr int kStep = 2 * V::kLanes;
  using I16 = typename V::I16;
  const int last = std::min(c1, w - 1);  // the columns [max(c0, 1), last) are inner ones
  for (int r = r0; r < r1; ++r) {
    if (r == 0 || r == h - 1 || w < 3) {
      SobelBytesRef(src, w, h, r, r + 1, c0, c1, grad);
      continue;
    }
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    int c = std::max(c0, 1);
    for (; c + kStep <= last; c += kStep) {
      const I16 ul = V::LoadBytes(up + c - 1), uc = V::LoadBytes(up + c);
      const I16 ur = V::LoadBytes(up + c + 1);
      const I16 ml = V::LoadBytes(mid + c - 1), mr = V::LoadBytes(mid + c + 1);
      const I16 dl = V::LoadBytes(dn + c - 1), dc = V::LoadBytes(dn + c);
      const I16 dr = V::LoadBytes(dn + c + 1);
      const I16 gr = V::Sub16(V::Add16(V::Add16(dl, dr), V::Add16(dc, dc)),
                              V::Add16(V::Add16(ul, ur), V::Add16(uc, uc)));
      const I16 gc = V::Sub16(V::Add16(V::Add16(ur, dr), V::Add16(mr, mr)),
                              V::Add16(V::Add16(ul, dl), V::Add16(ml, ml)));
      V::StoreInterleaved(out + 2 * c, gr, gc);
    }
    for (; c < last; ++c) SobelPixel(up, mid, dn, c, out);
    ZeroOuterColumns(w, c0, c1, out);
  }
}

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void HalveBytes256(const std::uint8_t* src, int w,
                                                               int h, std::uint8_t* dst) {
  HalveBytesVec<Vec256>(src, w, h, dst);
}

VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void SobelBytes256(const std::uint8_t* src, int w,
                                                               int h, int r0, int r1, int c0,
                                                               int c1, std::int16_t* grad) {
  SobelBytesVec<Vec256>(src, w, h, r0, r1, c0, c1, grad);
}
#endif

}  // namespace
#endif

void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  HalveBytesWith(BestSimdPath(), src, w, h, dst);
}

void HalveBytesWith(SimdPath path, const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return HalveBytes256(src, w, h, dst);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return HalveBytesVec<Vec128>(src, w, h, dst);
#endif
    default:
      return HalveBytesRef(src, w, h, dst);
  }
}

void SobelBytes(const std::uint8_t* src, int w, int h, int r0, int r1, int c0, int c1,
                std::int16_t* grad) {
  SobelBytesWith(BestSimdPath(), src, w, h, r0, r1, c0, c1, grad);
}

void SobelBytesWith(SimdPath path, const std::uint8_t* src, int w, int h, int r0, int r1, int c0,
                    int c1, std::int16_t* grad) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return SobelBytes256(src, w, h, r0, r1, c0, c1, grad);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return SobelBytesVec<Vec128>(src, w, h, r0, r1, c0, c1, grad);
#endif
    default:
      return SobelBytesRef(src, w, h, r0, r1, c0, c1, grad);
  }
}

void HalveFloats(const float* src, int w, int h, float* dst) { HalveFloatsRef(src, w, h, dst); }

void SobelFloats(const float* src, int w, int h, float scale, int r0, int r1, int c0, int c1,
                 std::int16_t* grad) {
  SobelFloatsRef(src, w, h, scale, r0, r1, c0, c1, grad);
}

namespace {

// Gradients of a pyramid level in a rectangle of rows [r0, r1) and columns [c0, c1).
void LevelGradients(const Pyramid& pyramid, PyramidLevel* level, int r0, int r1, int c0, int c1) {
  if (level->bytes) {
    SobelBytes(level->bytes, level->width, level->height, r0, r1, c0, c1, level->grad.data());
  } else {
    SobelFloats(level->grey.data(), level->width, level->height, pyramid.grad_scale, r0, r1, c0, c1,
                level->grad.data());
  }
}

// The level-0 tiles (kTileRows x kTileCols pixels) of a lazy base level.
constexpr int kTileRows = 16, kTileCols = 32;
enum TileState : std::uint8_t { kTileZero, kTileComputed, kTileStale };

int TilesAcross(const PyramidLevel& level) { return (level.width + kTileCols - 1) / kTileCols; }
int TilesDown(const PyramidLevel& level) { return (level.height + kTileRows - 1) / kTileRows; }

// Lays out the pyramid's storage for the image and the number of levels: every level's size,
// grey values (but level 0's of a byte image, which is the image itself) and gradients. Keeps the
// storage, and so level 0's gradients, while the layout stays; otherwise it starts all zero.
// Returns whether the layout is new.
bool LayOut(const ImageData& image, int num_levels, Pyramid* pyramid) {
  const bool bytes = image.type == PixelType::Byte;
  const PyramidLayout layout{image.width, image.height, num_levels, bytes};
  pyramid->levels.resize(std::size_t(num_levels));
  if (pyramid->layout == layout && !pyramid->storage.empty()) return false;
  auto aligned = [](std::size_t n) { return (n + 63) / 64 * 64; };
  std::vector<std::size_t> grey_at(std::size_t(num_levels), 0), grad_at(std::size_t(num_levels), 0);
  std::size_t total = 0;
  int w = image.width, h = image.height;
  for (int k = 0; k < num_levels; ++k) {
    PyramidLevel& level = pyramid->levels[std::size_t(k)];
    if (k > 0) w /= 2, h /= 2;
    level.width = w;
    level.height = h;
    const std::size_t n = std::size_t(w) * h;
    grey_at[std::size_t(k)] = total;
    if (!bytes) total += aligned(n * sizeof(float));
    if (bytes && k > 0) total += aligned(n);
    grad_at[std::size_t(k)] = total;
    total += aligned(2 * n * sizeof(std::int16_t));
  }
  pyramid->storage.assign(std::max<std::size_t>(total, 1), 0);
  std::uint8_t* at = pyramid->storage.data();
  for (int k = 0; k < num_levels; ++k) {
    PyramidLevel& level = pyramid->levels[std::size_t(k)];
    const std::size_t n = std::size_t(level.width) * level.height;
    level.own_bytes = {};
    level.grey = {};
    if (!bytes) level.grey = {reinterpret_cast<float*>(at + grey_at[std::size_t(k)]), n};
    if (bytes && k > 0) level.own_bytes = {at + grey_at[std::size_t(k)], n};
    level.grad = {reinterpret_cast<std::int16_t*>(at + grad_at[std::size_t(k)]), 2 * n};
  }
  pyramid->layout = layout;
  return true;
}

// Level 0 (the image itself, or its grey values) and the gradient scale.
void BaseLevel(const ImageData& image, Pyramid* pyramid) {
  PyramidLevel& base = pyramid->levels[0];
  base.bytes = nullptr;
  const std::size_t n = std::size_t(image.width) * image.height;
  if (image.type == PixelType::Byte) {
    base.bytes = image.Plane<std::uint8_t>(0);
    pyramid->grad_scale = 4;
    return;
  }
  float lo = 0, hi = 0;
  if (image.type == PixelType::UInt2) {
    const std::uint16_t* p = image.Plane<std::uint16_t>(0);
    for (std::size_t i = 0; i < n; ++i) base.grey[i] = p[i];
  } else {
    const float* p = image.Plane<float>(0);
    for (std::size_t i = 0; i < n; ++i) base.grey[i] = std::isfinite(p[i]) ? p[i] : 0.0f;
  }
  if (n > 0) {
    const auto [mn, mx] = std::minmax_element(base.grey.begin(), base.grey.end());
    lo = *mn;
    hi = *mx;
  }
  const float range = hi - lo;
  pyramid->grad_scale = range > 0 ? std::min(32000.0f / range, 1.0e6f) : 1.0f;
}

}  // namespace

void BuildPyramid(const ImageData& image, int num_levels, bool lazy_base, Pyramid* pyramid) {
  const bool fresh = LayOut(image, num_levels, pyramid);
  BaseLevel(image, pyramid);
  for (int k = 1; k < num_levels; ++k) {
    const PyramidLevel& below = pyramid->levels[std::size_t(k - 1)];
    PyramidLevel& level = pyramid->levels[std::size_t(k)];
    level.bytes = nullptr;
    if (below.bytes) {
      HalveBytes(below.bytes, below.width, below.height, level.own_bytes.data());
      level.bytes = level.own_bytes.data();
    } else {
      HalveFloats(below.grey.data(), below.width, below.height, level.grey.data());
    }
  }
  // A lazy base level keeps the gradients of the tiles an earlier search computed until
  // BaseGradients either recomputes or clears them; a new layout starts all zero.
  PyramidLevel& base = pyramid->levels[0];
  const std::size_t tiles = std::size_t(TilesAcross(base)) * TilesDown(base);
  if (fresh || base.tiles.size() != tiles) base.tiles.assign(tiles, kTileZero);
  for (std::uint8_t& t : base.tiles) {
    t = !lazy_base ? kTileComputed : t == kTileZero ? kTileZero : kTileStale;
  }
  // Gradients in bands of rows, spread over the threads (a job's c0 is its level).
  constexpr int kBand = 32;
  std::vector<PixelBox>& jobs = pyramid->jobs;
  jobs.clear();
  for (int k = lazy_base ? 1 : 0; k < num_levels; ++k) {
    const PyramidLevel& level = pyramid->levels[std::size_t(k)];
    for (int r = 0; r < level.height; r += kBand) {
      jobs.push_back({r, std::min(level.height, r + kBand), k, 0});
    }
  }
  ParallelFor(0, static_cast<int>(jobs.size()), [&](int i) {
    const PixelBox& job = jobs[std::size_t(i)];
    PyramidLevel& level = pyramid->levels[std::size_t(job.c0)];
    LevelGradients(*pyramid, &level, job.r0, job.r1, 0, level.width);
  });
}

void BaseGradients(const std::vector<PixelBox>& boxes, Pyramid* pyramid) {
  PyramidLevel& base = pyramid->levels[0];
  const int across = TilesAcross(base);
  std::vector<std::uint8_t>& wanted = pyramid->wanted;
  wanted.assign(base.tiles.size(), 0);
  for (const PixelBox& b : boxes) {
    const int r0 = std::max(b.r0, 0), r1 = std::min(b.r1, base.height);
    const int c0 = std::max(b.c0, 0), c1 = std::min(b.c1, base.width);
    if (r0 >= r1 || c0 >= c1) continue;
    for (int tr = r0 / kTileRows; tr <= (r1 - 1) / kTileRows; ++tr) {
      for (int tc = c0 / kTileCols; tc <= (c1 - 1) / kTileCols; ++tc) {
        wanted[std::size_t(tr) * across + tc] = 1;
      }
    }
  }
  // Tiles to compute (wanted, not yet done) and tiles to clear (done earlier, not wanted).
  std::vector<PixelBox>& jobs = pyramid->jobs;  // r0: the tile
  jobs.clear();
  for (std::size_t t = 0; t < wanted.size(); ++t) {
    if (wanted[t] ? base.tiles[t] != kTileComputed : base.tiles[t] == kTileStale) {
      jobs.push_back({static_cast<int>(t), 0, 0, 0});
    }
  }
  ParallelFor(0, static_cast<int>(jobs.size()), [&](int i) {
    const std::size_t t = std::size_t(jobs[std::size_t(i)].r0);
    const int r0 = int(t / across) * kTileRows, c0 = int(t % across) * kTileCols;
    const int r1 = std::min(r0 + kTileRows, base.height), c1 = std::min(c0 + kTileCols, base.width);
    if (wanted[t]) {
      LevelGradients(*pyramid, &base, r0, r1, c0, c1);
      base.tiles[t] = kTileComputed;
    } else {
      for (int r = r0; r < r1; ++r) {
        std::int16_t* row = base.grad.data() + 2 * (std::size_t(r) * base.width + c0);
        std::fill(row, row + 2 * (c1 - c0), std::int16_t(0));
      }
      base.tiles[t] = kTileZero;
    }
  });
}

}  // namespace vision::detail
