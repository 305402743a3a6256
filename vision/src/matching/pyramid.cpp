// Mean image pyramids and Sobel gradients for the shape search.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "matching/pyramid.h"

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

// Sobel gradient (row, column) of column c from the rows above, at and below it, into out[0]
// and out[1].
inline void SobelPixel(const std::uint8_t* up, const std::uint8_t* mid, const std::uint8_t* dn,
                       int c, std::int16_t* out) {
  const int gr = (dn[c - 1] + 2 * dn[c] + dn[c + 1]) - (up[c - 1] + 2 * up[c] + up[c + 1]);
  const int gc =
      (up[c + 1] + 2 * mid[c + 1] + dn[c + 1]) - (up[c - 1] + 2 * mid[c - 1] + dn[c - 1]);
  out[0] = static_cast<std::int16_t>(gr);
  out[1] = static_cast<std::int16_t>(gc);
}
// Row r's first output pair (column box.c0).
inline std::int16_t* OutRow(const GradOut& out, const PixelBox& box, int r) {
  return out.data + 2 * std::size_t(r - box.r0) * out.stride;
}
// The image's outermost columns, where the box has them, get zero; out is the box's row.
inline void ZeroOuterColumns(int w, const PixelBox& box, std::int16_t* out) {
  if (box.c0 == 0) out[0] = out[1] = 0;
  if (box.c1 == w && w > 0) out[2 * (w - 1 - box.c0)] = out[2 * (w - 1 - box.c0) + 1] = 0;
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

void SobelBytesRef(const std::uint8_t* src, int w, int h, const PixelBox& box, GradOut out) {
  for (int r = box.r0; r < box.r1; ++r) {
    std::int16_t* row = OutRow(out, box, r);
    if (r == 0 || r == h - 1 || w < 3) {
      std::fill(row, row + 2 * (box.c1 - box.c0), std::int16_t(0));
      continue;
    }
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    for (int c = std::max(box.c0, 1); c < std::min(box.c1, w - 1); ++c) {
      SobelPixel(up, mid, dn, c, row + 2 * (c - box.c0));
    }
    ZeroOuterColumns(w, box, row);
  }
}

void SobelFloatsRef(const float* src, int w, int h, float scale, const PixelBox& box, GradOut out) {
  const float k = scale * 0.25f;
  for (int r = box.r0; r < box.r1; ++r) {
    std::int16_t* row = OutRow(out, box, r);
    if (r == 0 || r == h - 1 || w < 3) {
      std::fill(row, row + 2 * (box.c1 - box.c0), std::int16_t(0));
      continue;
    }
    const float* up = src + std::size_t(r - 1) * w;
    const float* mid = up + w;
    const float* dn = mid + w;
    for (int c = std::max(box.c0, 1); c < std::min(box.c1, w - 1); ++c) {
      const float gr =
          ((dn[c - 1] + dn[c + 1]) + 2.0f * dn[c]) - ((up[c - 1] + up[c + 1]) + 2.0f * up[c]);
      const float gc = ((up[c + 1] + dn[c + 1]) + 2.0f * mid[c + 1]) -
                       ((up[c - 1] + dn[c - 1]) + 2.0f * mid[c - 1]);
      std::int16_t* px = row + 2 * (c - box.c0);
      px[0] = RoundToInt16(gr * k);
      px[1] = RoundToInt16(gc * k);
    }
    ZeroOuterColumns(w, box, row);
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
void SobelBytesVec(const std::uint8_t* src, int w, int h, const PixelBox& box, GradOut out) {
  constexpr int kStep = 2 * V::kLanes;
  using I16 = typename V::I16;
  const int last = std::min(box.c1, w - 1);  // the columns [max(c0, 1), last) are inner ones
  for (int r = box.r0; r < box.r1; ++r) {
    std::int16_t* row = OutRow(out, box, r);
    if (r == 0 || r == h - 1 || w < 3) {
      SobelBytesRef(src, w, h, {r, r + 1, box.c0, box.c1}, {row, out.stride});
      continue;
    }
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    const int first = std::max(box.c0, 1);
    auto columns = [&](int c) {  // kStep columns from c on
      const I16 ul = V::LoadBytes(up + c - 1), uc = V::LoadBytes(up + c);
      const I16 ur = V::LoadBytes(up + c + 1);
      const I16 ml = V::LoadBytes(mid + c - 1), mr = V::LoadBytes(mid + c + 1);
      const I16 dl = V::LoadBytes(dn + c - 1), dc = V::LoadBytes(dn + c);
      const I16 dr = V::LoadBytes(dn + c + 1);
      const I16 gr = V::Sub16(V::Add16(V::Add16(dl, dr), V::Add16(dc, dc)),
                              V::Add16(V::Add16(ul, ur), V::Add16(uc, uc)));
      const I16 gc = V::Sub16(V::Add16(V::Add16(ur, dr), V::Add16(mr, mr)),
                              V::Add16(V::Add16(ul, dl), V::Add16(ml, ml)));
      V::StoreInterleaved(row + 2 * (c - box.c0), gr, gc);
    };
    int c = first;
    for (; c + kStep <= last; c += kStep) columns(c);
    if (c < last && last - first >= kStep) {
      columns(last - kStep);  // the columns left over, overlapping some done (same values)
    } else {
      for (; c < last; ++c) SobelPixel(up, mid, dn, c, row + 2 * (c - box.c0));
    }
    ZeroOuterColumns(w, box, row);
  }
}

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void HalveBytes256(const std::uint8_t* src, int w,
                                                               int h, std::uint8_t* dst) {
  HalveBytesVec<Vec256>(src, w, h, dst);
}

VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN void SobelBytes256(const std::uint8_t* src, int w,
                                                               int h, const PixelBox& box,
                                                               GradOut out) {
  SobelBytesVec<Vec256>(src, w, h, box, out);
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

void SobelBytes(const std::uint8_t* src, int w, int h, const PixelBox& box, GradOut out) {
  SobelBytesWith(BestSimdPath(), src, w, h, box, out);
}

void SobelBytesWith(SimdPath path, const std::uint8_t* src, int w, int h, const PixelBox& box,
                    GradOut out) {
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      return SobelBytes256(src, w, h, box, out);
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      return SobelBytesVec<Vec128>(src, w, h, box, out);
#endif
    default:
      return SobelBytesRef(src, w, h, box, out);
  }
}

void HalveFloats(const float* src, int w, int h, float* dst) { HalveFloatsRef(src, w, h, dst); }

void SobelFloats(const float* src, int w, int h, float scale, const PixelBox& box, GradOut out) {
  SobelFloatsRef(src, w, h, scale, box, out);
}

namespace {

// Gradients of the pixels of box (inside the level) of a pyramid level's grey values.
void GradientsOf(const Pyramid& pyramid, const PyramidLevel& level, const PixelBox& box,
                 GradOut out) {
  if (level.bytes) {
    SobelBytes(level.bytes, level.width, level.height, box, out);
  } else {
    SobelFloats(level.grey.data(), level.width, level.height, pyramid.grad_scale, box, out);
  }
}

// Lays out the pyramid's storage for the image and the number of levels: every level's size,
// grey values (but level 0's of a byte image, which is the image itself) and gradients (with
// top_only, the top level's alone), then the extra bytes. Keeps the storage while the layout
// stays.
void LayOut(const ImageData& image, int num_levels, bool top_only, std::size_t extra,
            Pyramid* pyramid) {
  const bool bytes = image.type == PixelType::Byte;
  const PyramidLayout layout{image.width, image.height, num_levels, bytes, top_only, extra};
  pyramid->levels.resize(std::size_t(num_levels));
  if (pyramid->layout == layout && !pyramid->storage.empty()) return;
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
    if (!top_only || k == num_levels - 1) total += aligned(2 * n * sizeof(std::int16_t));
  }
  const std::size_t extra_at = total;
  total += extra;
  // At least kLeastPyramidStorage (two huge pages, large_buffer.h), all touched now: a model's
  // warm-up search in its small template then takes the memory that searches of images up to
  // five megapixels (2592 x 1944) need, and the first real search finds it ready. Fresh memory is
  // slow to touch the first time, in virtual machines 1 to 3 ms per 2 MiB.
  if (pyramid->storage.capacity() < total) {
    pyramid->storage = {};
    pyramid->storage.assign(std::max(total, kLeastPyramidStorage), 0);
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
    level.grad = {};
    if (!top_only || k == num_levels - 1) {
      level.grad = {reinterpret_cast<std::int16_t*>(at + grad_at[std::size_t(k)]), 2 * n};
    }
  }
  pyramid->extra = {at + extra_at, extra};
  pyramid->layout = layout;
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

void BuildPyramid(const ImageData& image, int num_levels, bool top_only, std::size_t extra,
                  Pyramid* pyramid) {
  LayOut(image, num_levels, top_only, extra, pyramid);
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
  // On the calling thread: the search reads these gradients right after, and on many machines
  // moving freshly written memory from one core's cache to another's costs more than computing
  // it.
  for (int k = top_only ? num_levels - 1 : 0; k < num_levels; ++k) {
    const PyramidLevel& level = pyramid->levels[std::size_t(k)];
    GradientsOf(*pyramid, level, {0, level.height, 0, level.width},
                {level.grad.data(), std::size_t(level.width)});
  }
}

PixelBox GradientPatch(const Pyramid& pyramid, int k, const PixelBox& box,
                       std::vector<std::int16_t>* storage, PyramidLevel* patch) {
  const PyramidLevel& base = pyramid.levels[std::size_t(k)];
  PixelBox in{std::max(box.r0, 0), std::min(box.r1, base.height), std::max(box.c0, 0),
              std::min(box.c1, base.width)};
  if (in.r0 >= in.r1 || in.c0 >= in.c1) in = {0, 1, 0, 1};  // nothing of the image: no edges
  const int w = in.c1 - in.c0, h = in.r1 - in.r0;
  const std::size_t n = 2 * std::size_t(w) * h;
  if (storage->size() < n) storage->resize(n);
  if (base.width > 0 && base.height > 0) {
    GradientsOf(pyramid, base, in, {storage->data(), std::size_t(w)});
  } else {
    std::fill(storage->begin(), storage->begin() + std::ptrdiff_t(n), std::int16_t(0));
  }
  patch->width = w;
  patch->height = h;
  patch->bytes = nullptr;
  patch->own_bytes = {};
  patch->grey = {};
  patch->grad = {storage->data(), n};
  return in;
}

}  // namespace vision::detail
