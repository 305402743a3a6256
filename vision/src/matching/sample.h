// Bilinear sampling of a pyramid level's gradients: the innermost operation of the least-squares
// refinement and of pose scoring. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "detail/simd.h"
#include "matching/pyramid.h"
#include "matching/vector.h"

namespace vision::detail {

// The 2x2 cell whose top-left pixel is (r0, c0) and the position within it; false outside the
// image (the cell must lie wholly inside).
inline bool GradCell(const PyramidLevel& lv, float r, float c, const std::int16_t** p, float* fr,
                     float* fc) {
  // Far outside (or not a number): no cell, and no conversion beyond the integers.
  if (!(r > -4096.0f && r < 1.0e9f && c > -4096.0f && c < 1.0e9f)) return false;
  // Truncation of a shifted value is floor() for anything above -4096, without a library call.
  const int r0 = static_cast<int>(r + 4096.0f) - 4096;
  const int c0 = static_cast<int>(c + 4096.0f) - 4096;
  if (static_cast<unsigned>(r0) >= static_cast<unsigned>(lv.height - 1) ||
      static_cast<unsigned>(c0) >= static_cast<unsigned>(lv.width - 1)) {
    return false;
  }
  *fr = r - float(r0);
  *fc = c - float(c0);
  *p = lv.grad.data() + 2 * (std::size_t(r0) * lv.width + c0);
  return true;
}

// Gradient (row, column) at (r, c), interpolated along the columns first, then the rows; zero
// outside the image.
inline void GradAtRef(const PyramidLevel& lv, float r, float c, float* gr, float* gc) {
  const std::int16_t* p;
  float fr, fc;
  if (!GradCell(lv, r, c, &p, &fr, &fc)) {
    *gr = *gc = 0;
    return;
  }
  const std::int16_t* q = p + 2 * std::size_t(lv.width);
  const float top_r = float(p[0]) + fc * float(p[2] - p[0]);
  const float top_c = float(p[1]) + fc * float(p[3] - p[1]);
  const float bot_r = float(q[0]) + fc * float(q[2] - q[0]);
  const float bot_c = float(q[1]) + fc * float(q[3] - q[1]);
  *gr = top_r + fr * (bot_r - top_r);
  *gc = top_c + fr * (bot_c - top_c);
}

// The same with both channels and both rows of the cell in one vector: the same operations in
// the same order, so the same numbers where the compiler fuses neither.
inline void GradAt(const PyramidLevel& lv, float r, float c, float* gr, float* gc) {
#if defined(VISION_SIMD_SSE2)
  const std::int16_t* p;
  float fr, fc;
  if (!GradCell(lv, r, c, &p, &fr, &fc)) {
    *gr = *gc = 0;
    return;
  }
  const std::int16_t* q = p + 2 * std::size_t(lv.width);
  // Lanes (as 32-bit pairs): p's left, q's left, p's right, q's right.
  const __m128i top = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  const __m128i bot = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q));
  const __m128i both = _mm_unpacklo_epi32(top, bot);
  const __m128i left = _mm_srai_epi32(_mm_unpacklo_epi16(both, both), 16);
  const __m128i right = _mm_srai_epi32(_mm_unpackhi_epi16(both, both), 16);
  // (top_r, top_c, bot_r, bot_c)
  const __m128 h =
      _mm_add_ps(_mm_cvtepi32_ps(left),
                 _mm_mul_ps(_mm_set1_ps(fc), _mm_cvtepi32_ps(_mm_sub_epi32(right, left))));
  const __m128 lower = _mm_movehl_ps(h, h);
  const __m128 v = _mm_add_ps(h, _mm_mul_ps(_mm_set1_ps(fr), _mm_sub_ps(lower, h)));
  *gr = _mm_cvtss_f32(v);
  *gc = _mm_cvtss_f32(_mm_shuffle_ps(v, v, 1));
#elif defined(VISION_SIMD_NEON)
  const std::int16_t* p;
  float fr, fc;
  if (!GradCell(lv, r, c, &p, &fr, &fc)) {
    *gr = *gc = 0;
    return;
  }
  const std::int16_t* q = p + 2 * std::size_t(lv.width);
  const int32x4_t top = vmovl_s16(vld1_s16(p));  // p's left (r, c), p's right (r, c)
  const int32x4_t bot = vmovl_s16(vld1_s16(q));
  const int32x4_t left = vcombine_s32(vget_low_s32(top), vget_low_s32(bot));
  const int32x4_t right = vcombine_s32(vget_high_s32(top), vget_high_s32(bot));
  const float32x4_t h =
      vaddq_f32(vcvtq_f32_s32(left), vmulq_n_f32(vcvtq_f32_s32(vsubq_s32(right, left)), fc));
  const float32x2_t t = vget_low_f32(h), b = vget_high_f32(h);
  const float32x2_t v = vadd_f32(t, vmul_n_f32(vsub_f32(b, t), fr));
  *gr = vget_lane_f32(v, 0);
  *gc = vget_lane_f32(v, 1);
#else
  GradAtRef(lv, r, c, gr, gc);
#endif
}

#if defined(VISION_SIMD_128)
// a + f (b - a) in every lane, a and b integers, as GradAtRef interpolates.
template <class V>
inline typename V::F32 LerpLanes(typename V::I32 a, typename V::I32 b, typename V::F32 f) {
  return V::Add(V::ToFloat(a), V::Mul(f, V::ToFloat(V::Sub(b, a))));
}

// GradAtRef at V::kLanes positions at once: each lane the same operations in the same order, so
// the same numbers. For Vec256 only inside a function compiled for AVX2 (see vector.h).
template <class V>
inline void GradAtLanes(const PyramidLevel& lv, typename V::F32 r, typename V::F32 c,
                        typename V::F32* gr, typename V::F32* gc) {
  using I32 = typename V::I32;
  using F32 = typename V::F32;
  // The cell's top-left pixel, by truncation of shifted values (as GradCell), and whether the
  // cell lies inside.
  const F32 shift = V::SplatF(4096.0f);
  const I32 back = V::Splat(4096);
  const I32 r0 = V::Sub(V::Truncate(V::Add(r, shift)), back);
  const I32 c0 = V::Sub(V::Truncate(V::Add(c, shift)), back);
  const I32 none = V::Splat(-1);
  const I32 inside = V::And(V::And(V::Greater(r0, none), V::Greater(V::Splat(lv.height - 1), r0)),
                            V::And(V::Greater(c0, none), V::Greater(V::Splat(lv.width - 1), c0)));
  const F32 fr = V::Sub(r, V::ToFloat(r0));
  const F32 fc = V::Sub(c, V::ToFloat(c0));
  I32 pl, pr, ql, qr;  // top left, top right, bottom left, bottom right
  V::CellPixels(lv.grad.data(), r0, c0, lv.width, inside, &pl, &pr, &ql, &qr);
  // Row channel: the low int16 of each pair; column channel: the high one.
  const F32 top_r = LerpLanes<V>(V::LowHalf(pl), V::LowHalf(pr), fc);
  const F32 top_c = LerpLanes<V>(V::HighHalf(pl), V::HighHalf(pr), fc);
  const F32 bot_r = LerpLanes<V>(V::LowHalf(ql), V::LowHalf(qr), fc);
  const F32 bot_c = LerpLanes<V>(V::HighHalf(ql), V::HighHalf(qr), fc);
  *gr = V::Keep(inside, V::Add(top_r, V::Mul(fr, V::Sub(bot_r, top_r))));
  *gc = V::Keep(inside, V::Add(top_c, V::Mul(fr, V::Sub(bot_c, top_c))));
}
#endif

// The gradients at n positions (r[i], c[i]) on the path given, which must be available: the
// reference GradAtRef, or GradAtLanes of the path's vectors (the positions left over after the
// last whole vector by GradAtRef). The kernels' sampling as the tests see it.
void GradAtWith(SimdPath path, const PyramidLevel& lv, const float* r, const float* c,
                std::size_t n, float* gr, float* gc);

// GradAt, or with kRef its scalar reference GradAtRef.
template <bool kRef>
inline void GradSample(const PyramidLevel& lv, float r, float c, float* gr, float* gc) {
  if constexpr (kRef) {
    GradAtRef(lv, r, c, gr, gc);
  } else {
    GradAt(lv, r, c, gr, gc);
  }
}

}  // namespace vision::detail
