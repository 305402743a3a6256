// Bilinear sampling of a pyramid level's gradients: the innermost operation of the least-squares
// refinement and of pose scoring. Not installed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "detail/simd.h"
#include "matching/pyramid.h"

namespace vision::detail {

// The 2x2 cell whose top-left pixel is (r0, c0) and the position within it; false outside the
// image (the cell must lie wholly inside).
inline bool GradCell(const PyramidLevel& lv, float r, float c, const std::int16_t** p, float* fr,
                     float* fc) {
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

#if defined(VISION_SIMD_AVX2)
// GradAt8's pieces: the row and column int16 of (row, column) pairs held as int32, and
// a + f (b - a) as GradAtRef computes it.
VISION_SIMD_TARGET_AVX2 inline __m256i RowOf8(__m256i v) {
  return _mm256_srai_epi32(_mm256_slli_epi32(v, 16), 16);
}
VISION_SIMD_TARGET_AVX2 inline __m256i ColOf8(__m256i v) { return _mm256_srai_epi32(v, 16); }
// The even (odd) 32-bit elements of a and b within each 128-bit half: a0 a2 b0 b2 | a4 a6 b4 b6.
VISION_SIMD_TARGET_AVX2 inline __m256i EvenHalves8(__m256i a, __m256i b) {
  return _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
}
VISION_SIMD_TARGET_AVX2 inline __m256i OddHalves8(__m256i a, __m256i b) {
  return _mm256_castps_si256(
      _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
}
VISION_SIMD_TARGET_AVX2 inline __m256 Lerp8(__m256i a, __m256i b, __m256 f) {
  return _mm256_add_ps(_mm256_cvtepi32_ps(a),
                       _mm256_mul_ps(f, _mm256_cvtepi32_ps(_mm256_sub_epi32(b, a))));
}

// GradAtRef at eight positions at once (AVX2; call only where CpuHasAvx2()): each lane the same
// operations in the same order, so the same numbers (this code is compiled for AVX2 alone, which
// has no multiply-add to fuse into). The cell's four pixels are gathered as (row, column) pairs
// of int16, one int32 each.
VISION_SIMD_TARGET_AVX2 inline void GradAt8(const PyramidLevel& lv, __m256 r, __m256 c, __m256* gr,
                                            __m256* gc) {
  const __m256 shift = _mm256_set1_ps(4096.0f);
  const __m256i back = _mm256_set1_epi32(4096);
  const __m256i r0 = _mm256_sub_epi32(_mm256_cvttps_epi32(_mm256_add_ps(r, shift)), back);
  const __m256i c0 = _mm256_sub_epi32(_mm256_cvttps_epi32(_mm256_add_ps(c, shift)), back);
  const __m256i none = _mm256_set1_epi32(-1);
  const __m256i inside =
      _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(r0, none),
                                        _mm256_cmpgt_epi32(_mm256_set1_epi32(lv.height - 1), r0)),
                       _mm256_and_si256(_mm256_cmpgt_epi32(c0, none),
                                        _mm256_cmpgt_epi32(_mm256_set1_epi32(lv.width - 1), c0)));
  const __m256 fr = _mm256_sub_ps(r, _mm256_cvtepi32_ps(r0));
  const __m256 fc = _mm256_sub_ps(c, _mm256_cvtepi32_ps(c0));
  const __m256i width = _mm256_set1_epi32(lv.width);
  const __m256i at = _mm256_and_si256(
      inside, _mm256_add_epi32(_mm256_mullo_epi32(r0, width), c0));  // pixel index, 0 outside
  // Each row of a cell is one 64-bit load (its left and right pixel), four lanes per gather:
  // half the elements of gathering every pixel alone. The lanes go to the gathers as
  // (0, 1, 4, 5) and (2, 3, 6, 7), so that picking the even and the odd 32-bit halves of the two
  // results within each 128-bit half gives the left and the right pixels in lane order.
  const long long* base = reinterpret_cast<const long long*>(lv.grad.data());
  const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
  const __m256i at_o = _mm256_permutevar8x32_epi32(at, order);
  const __m256i in_o = _mm256_permutevar8x32_epi32(inside, order);
  const __m128i at_a = _mm256_castsi256_si128(at_o), at_b = _mm256_extracti128_si256(at_o, 1);
  const __m256i in_a = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(in_o));
  const __m256i in_b = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(in_o, 1));
  const __m128i w4 = _mm_set1_epi32(lv.width);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i top_a = _mm256_mask_i32gather_epi64(zero, base, at_a, in_a, 4);
  const __m256i top_b = _mm256_mask_i32gather_epi64(zero, base, at_b, in_b, 4);
  const __m256i bot_a = _mm256_mask_i32gather_epi64(zero, base, _mm_add_epi32(at_a, w4), in_a, 4);
  const __m256i bot_b = _mm256_mask_i32gather_epi64(zero, base, _mm_add_epi32(at_b, w4), in_b, 4);
  const __m256i pl = EvenHalves8(top_a, top_b), pr = OddHalves8(top_a, top_b);
  const __m256i ql = EvenHalves8(bot_a, bot_b), qr = OddHalves8(bot_a, bot_b);
  // Row channel: the low int16 of each pair; column channel: the high one.
  const __m256 top_r = Lerp8(RowOf8(pl), RowOf8(pr), fc);
  const __m256 top_c = Lerp8(ColOf8(pl), ColOf8(pr), fc);
  const __m256 bot_r = Lerp8(RowOf8(ql), RowOf8(qr), fc);
  const __m256 bot_c = Lerp8(ColOf8(ql), ColOf8(qr), fc);
  const __m256 keep = _mm256_castsi256_ps(inside);
  *gr = _mm256_and_ps(keep, _mm256_add_ps(top_r, _mm256_mul_ps(fr, _mm256_sub_ps(bot_r, top_r))));
  *gc = _mm256_and_ps(keep, _mm256_add_ps(top_c, _mm256_mul_ps(fr, _mm256_sub_ps(bot_c, top_c))));
}
#endif

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
