// Mean image pyramids and Sobel gradients for the shape search.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "detail/parallel.h"
#include "matching/shape_model.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VISION_PYR_SSE2 1
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define VISION_PYR_NEON 1
#endif

namespace vision::detail {

namespace {
inline std::int16_t RoundToInt16(float v) {
  v = std::clamp(v, -32767.0f, 32767.0f);
  return static_cast<std::int16_t>(v >= 0 ? v + 0.5f : v - 0.5f);
}
}  // namespace

void HalveBytesRef(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  const int dw = w / 2, dh = h / 2;
  for (int r = 0; r < dh; ++r) {
    const std::uint8_t* a = src + std::size_t(2 * r) * w;
    const std::uint8_t* b = a + w;
    std::uint8_t* out = dst + std::size_t(r) * dw;
    for (int c = 0; c < dw; ++c) {
      const int sum = a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1];
      out[c] = static_cast<std::uint8_t>((sum + 2) >> 2);
    }
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

void SobelBytesRef(const std::uint8_t* src, int w, int h, int r0, int r1, std::int16_t* grad) {
  for (int r = r0; r < r1; ++r) {
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    if (r == 0 || r == h - 1 || w < 3) {
      std::memset(out, 0, sizeof(std::int16_t) * 2 * std::size_t(w));
      continue;
    }
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    out[0] = out[1] = 0;
    for (int c = 1; c < w - 1; ++c) {
      const int gr = (dn[c - 1] + 2 * dn[c] + dn[c + 1]) - (up[c - 1] + 2 * up[c] + up[c + 1]);
      const int gc =
          (up[c + 1] + 2 * mid[c + 1] + dn[c + 1]) - (up[c - 1] + 2 * mid[c - 1] + dn[c - 1]);
      out[2 * c] = static_cast<std::int16_t>(gr);
      out[2 * c + 1] = static_cast<std::int16_t>(gc);
    }
    out[2 * (w - 1)] = out[2 * (w - 1) + 1] = 0;
  }
}

void SobelFloatsRef(const float* src, int w, int h, float scale, int r0, int r1,
                    std::int16_t* grad) {
  const float k = scale * 0.25f;
  for (int r = r0; r < r1; ++r) {
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    if (r == 0 || r == h - 1 || w < 3) {
      std::memset(out, 0, sizeof(std::int16_t) * 2 * std::size_t(w));
      continue;
    }
    const float* up = src + std::size_t(r - 1) * w;
    const float* mid = up + w;
    const float* dn = mid + w;
    out[0] = out[1] = 0;
    for (int c = 1; c < w - 1; ++c) {
      const float gr =
          ((dn[c - 1] + dn[c + 1]) + 2.0f * dn[c]) - ((up[c - 1] + up[c + 1]) + 2.0f * up[c]);
      const float gc = ((up[c + 1] + dn[c + 1]) + 2.0f * mid[c + 1]) -
                       ((up[c - 1] + dn[c - 1]) + 2.0f * mid[c - 1]);
      out[2 * c] = RoundToInt16(gr * k);
      out[2 * c + 1] = RoundToInt16(gc * k);
    }
    out[2 * (w - 1)] = out[2 * (w - 1) + 1] = 0;
  }
}

#if defined(VISION_PYR_SSE2)
void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  const int dw = w / 2, dh = h / 2;
  const __m128i low = _mm_set1_epi16(0x00FF), two = _mm_set1_epi16(2);
  for (int r = 0; r < dh; ++r) {
    const std::uint8_t* a = src + std::size_t(2 * r) * w;
    const std::uint8_t* b = a + w;
    std::uint8_t* out = dst + std::size_t(r) * dw;
    int c = 0;
    for (; c + 8 <= dw; c += 8) {
      const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + 2 * c));
      const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 2 * c));
      const __m128i sa = _mm_add_epi16(_mm_and_si128(va, low), _mm_srli_epi16(va, 8));
      const __m128i sb = _mm_add_epi16(_mm_and_si128(vb, low), _mm_srli_epi16(vb, 8));
      const __m128i m = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(sa, sb), two), 2);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + c), _mm_packus_epi16(m, m));
    }
    for (; c < dw; ++c) {
      const int sum = a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1];
      out[c] = static_cast<std::uint8_t>((sum + 2) >> 2);
    }
  }
}

void SobelBytes(const std::uint8_t* src, int w, int h, int r0, int r1, std::int16_t* grad) {
  const __m128i zero = _mm_setzero_si128();
  auto load = [&](const std::uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), zero);
  };
  for (int r = r0; r < r1; ++r) {
    if (r == 0 || r == h - 1 || w < 10) {
      SobelBytesRef(src, w, h, r, r + 1, grad);
      continue;
    }
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    out[0] = out[1] = 0;
    int c = 1;
    for (; c + 8 <= w - 1; c += 8) {
      const __m128i ul = load(up + c - 1), uc = load(up + c), ur = load(up + c + 1);
      const __m128i ml = load(mid + c - 1), mr = load(mid + c + 1);
      const __m128i dl = load(dn + c - 1), dc = load(dn + c), dr = load(dn + c + 1);
      const __m128i gr = _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(dl, dr), _mm_add_epi16(dc, dc)),
                                       _mm_add_epi16(_mm_add_epi16(ul, ur), _mm_add_epi16(uc, uc)));
      const __m128i gc = _mm_sub_epi16(_mm_add_epi16(_mm_add_epi16(ur, dr), _mm_add_epi16(mr, mr)),
                                       _mm_add_epi16(_mm_add_epi16(ul, dl), _mm_add_epi16(ml, ml)));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * c), _mm_unpacklo_epi16(gr, gc));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * c + 8), _mm_unpackhi_epi16(gr, gc));
    }
    for (; c < w - 1; ++c) {
      const int gr = (dn[c - 1] + 2 * dn[c] + dn[c + 1]) - (up[c - 1] + 2 * up[c] + up[c + 1]);
      const int gc =
          (up[c + 1] + 2 * mid[c + 1] + dn[c + 1]) - (up[c - 1] + 2 * mid[c - 1] + dn[c - 1]);
      out[2 * c] = static_cast<std::int16_t>(gr);
      out[2 * c + 1] = static_cast<std::int16_t>(gc);
    }
    out[2 * (w - 1)] = out[2 * (w - 1) + 1] = 0;
  }
}
#elif defined(VISION_PYR_NEON)
void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  const int dw = w / 2, dh = h / 2;
  for (int r = 0; r < dh; ++r) {
    const std::uint8_t* a = src + std::size_t(2 * r) * w;
    const std::uint8_t* b = a + w;
    std::uint8_t* out = dst + std::size_t(r) * dw;
    int c = 0;
    for (; c + 8 <= dw; c += 8) {
      const uint16x8_t s =
          vaddq_u16(vpaddlq_u8(vld1q_u8(a + 2 * c)), vpaddlq_u8(vld1q_u8(b + 2 * c)));
      vst1_u8(out + c, vrshrn_n_u16(s, 2));
    }
    for (; c < dw; ++c) {
      const int sum = a[2 * c] + a[2 * c + 1] + b[2 * c] + b[2 * c + 1];
      out[c] = static_cast<std::uint8_t>((sum + 2) >> 2);
    }
  }
}

void SobelBytes(const std::uint8_t* src, int w, int h, int r0, int r1, std::int16_t* grad) {
  auto load = [](const std::uint8_t* p) { return vreinterpretq_s16_u16(vmovl_u8(vld1_u8(p))); };
  for (int r = r0; r < r1; ++r) {
    if (r == 0 || r == h - 1 || w < 10) {
      SobelBytesRef(src, w, h, r, r + 1, grad);
      continue;
    }
    std::int16_t* out = grad + 2 * std::size_t(r) * w;
    const std::uint8_t* up = src + std::size_t(r - 1) * w;
    const std::uint8_t* mid = up + w;
    const std::uint8_t* dn = mid + w;
    out[0] = out[1] = 0;
    int c = 1;
    for (; c + 8 <= w - 1; c += 8) {
      const int16x8_t ul = load(up + c - 1), uc = load(up + c), ur = load(up + c + 1);
      const int16x8_t ml = load(mid + c - 1), mr = load(mid + c + 1);
      const int16x8_t dl = load(dn + c - 1), dc = load(dn + c), dr = load(dn + c + 1);
      int16x8x2_t g;
      g.val[0] = vsubq_s16(vaddq_s16(vaddq_s16(dl, dr), vaddq_s16(dc, dc)),
                           vaddq_s16(vaddq_s16(ul, ur), vaddq_s16(uc, uc)));
      g.val[1] = vsubq_s16(vaddq_s16(vaddq_s16(ur, dr), vaddq_s16(mr, mr)),
                           vaddq_s16(vaddq_s16(ul, dl), vaddq_s16(ml, ml)));
      vst2q_s16(out + 2 * c, g);
    }
    for (; c < w - 1; ++c) {
      const int gr = (dn[c - 1] + 2 * dn[c] + dn[c + 1]) - (up[c - 1] + 2 * up[c] + up[c + 1]);
      const int gc =
          (up[c + 1] + 2 * mid[c + 1] + dn[c + 1]) - (up[c - 1] + 2 * mid[c - 1] + dn[c - 1]);
      out[2 * c] = static_cast<std::int16_t>(gr);
      out[2 * c + 1] = static_cast<std::int16_t>(gc);
    }
    out[2 * (w - 1)] = out[2 * (w - 1) + 1] = 0;
  }
}
#else
void HalveBytes(const std::uint8_t* src, int w, int h, std::uint8_t* dst) {
  HalveBytesRef(src, w, h, dst);
}
void SobelBytes(const std::uint8_t* src, int w, int h, int r0, int r1, std::int16_t* grad) {
  SobelBytesRef(src, w, h, r0, r1, grad);
}
#endif
void HalveFloats(const float* src, int w, int h, float* dst) { HalveFloatsRef(src, w, h, dst); }
void SobelFloats(const float* src, int w, int h, float scale, int r0, int r1, std::int16_t* grad) {
  SobelFloatsRef(src, w, h, scale, r0, r1, grad);
}

void BuildPyramid(const ImageData& image, int num_levels, Pyramid* pyramid) {
  pyramid->levels.resize(std::size_t(num_levels));
  PyramidLevel& base = pyramid->levels[0];
  base.width = image.width;
  base.height = image.height;
  base.bytes = nullptr;
  const std::size_t n = std::size_t(image.width) * image.height;
  if (image.type == PixelType::Byte) {
    base.bytes = image.Plane<std::uint8_t>(0);
    base.grey.clear();
    pyramid->grad_scale = 4;
  } else {
    base.grey.resize(n);
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
  for (int k = 1; k < num_levels; ++k) {
    const PyramidLevel& below = pyramid->levels[std::size_t(k - 1)];
    PyramidLevel& level = pyramid->levels[std::size_t(k)];
    level.width = below.width / 2;
    level.height = below.height / 2;
    level.bytes = nullptr;
    if (below.bytes) {
      level.own_bytes.resize(std::size_t(level.width) * level.height);
      HalveBytes(below.bytes, below.width, below.height, level.own_bytes.data());
      level.bytes = level.own_bytes.data();
    } else {
      level.grey.resize(std::size_t(level.width) * level.height);
      HalveFloats(below.grey.data(), below.width, below.height, level.grey.data());
    }
  }
  // Gradients in bands of rows, spread over the threads.
  constexpr int kBand = 32;
  struct Job {
    int level, r0, r1;
  };
  std::vector<Job> jobs;
  for (int k = 0; k < num_levels; ++k) {
    PyramidLevel& level = pyramid->levels[std::size_t(k)];
    level.grad.resize(2 * std::size_t(level.width) * level.height);
    for (int r = 0; r < level.height; r += kBand) {
      jobs.push_back({k, r, std::min(level.height, r + kBand)});
    }
  }
  const float scale = pyramid->grad_scale;
  ParallelFor(0, static_cast<int>(jobs.size()), [&](int i) {
    const Job& job = jobs[std::size_t(i)];
    PyramidLevel& level = pyramid->levels[std::size_t(job.level)];
    if (level.bytes) {
      SobelBytes(level.bytes, level.width, level.height, job.r0, job.r1, level.grad.data());
    } else {
      SobelFloats(level.grey.data(), level.width, level.height, scale, job.r0, job.r1,
                  level.grad.data());
    }
  });
}

}  // namespace vision::detail
