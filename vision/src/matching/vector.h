// The small vector layer the matcher's kernels are written over: the same few operations on
// 128-bit vectors (SSE2 or NEON) and on 256-bit vectors (AVX2), so that each kernel is written
// once as a template over the vector type. Not installed.
//
// Each vector type V offers kLanes lanes of int32 (I32, also seen as 2 kLanes int16, I16) and of
// float (F32), and kLanes / 2 lanes of double (F64). Masks are I32 with every bit of a lane set
// or clear; comparisons of floats give them too. The float and double operations are the plain
// IEEE operations of each lane (no estimates, no fused multiply-adds: the matcher is compiled
// with -ffp-contract=off), so a kernel that does per lane what its scalar reference does gives
// the reference's numbers bit for bit on every path.
//
// Vec128 exists where VISION_SIMD_128 is defined, Vec256 where VISION_SIMD_AVX2 is; a kernel
// instantiated for Vec256 must be compiled for AVX2 (VISION_SIMD_TARGET_AVX2 with
// VISION_SIMD_FLATTEN) and called only when CpuHasAvx2().
#pragma once

#include <cstddef>
#include <cstdint>

#include "detail/simd.h"

namespace vision::detail {

#if defined(VISION_SIMD_SSE2)
struct Vec128 {
  using I32 = __m128i;  // kLanes int32
  using I16 = __m128i;  // 2 * kLanes int16
  static constexpr int kLanes = 4;

  static I32 Zero() { return _mm_setzero_si128(); }
  static I32 Splat(std::int32_t v) { return _mm_set1_epi32(v); }
  // Dot products of kLanes interleaved (row, col) int16 pairs with one pair, given as one
  // int32 repeated.
  static I32 Dot(const std::int16_t* g, I32 pair) {
    return _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(g)), pair);
  }
  static I32 Add(I32 a, I32 b) { return _mm_add_epi32(a, b); }
  static I32 Abs(I32 a) {
    const I32 s = _mm_srai_epi32(a, 31);
    return _mm_sub_epi32(_mm_xor_si128(a, s), s);
  }
  static I32 Less(I32 a, I32 b) { return _mm_cmplt_epi32(a, b); }  // all ones where a < b
  static I32 Greater(I32 a, I32 b) { return _mm_cmpgt_epi32(a, b); }
  static I32 Or(I32 a, I32 b) { return _mm_or_si128(a, b); }
  static I32 AndNot(I32 a, I32 b) { return _mm_andnot_si128(a, b); }  // ~a & b
  // m ? a : b per lane, m being all ones or zero.
  static I32 Select(I32 m, I32 a, I32 b) {
    return _mm_or_si128(_mm_and_si128(m, a), _mm_andnot_si128(m, b));
  }
  static I32 Load(const std::int32_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static bool AllSet(I32 a, I32 b) { return _mm_movemask_epi8(_mm_and_si128(a, b)) == 0xFFFF; }
  static void Store(std::int32_t* p, I32 a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a); }

  // 2 * kLanes bytes, widened.
  static I16 LoadBytes(const std::uint8_t* p) {
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                             _mm_setzero_si128());
  }
  static I16 Add16(I16 a, I16 b) { return _mm_add_epi16(a, b); }
  static I16 Sub16(I16 a, I16 b) { return _mm_sub_epi16(a, b); }
  // Writes a0 b0 a1 b1 ... (4 * kLanes int16).
  static void StoreInterleaved(std::int16_t* p, I16 a, I16 b) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_unpacklo_epi16(a, b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 8), _mm_unpackhi_epi16(a, b));
  }
  // Sums of the 2 * kLanes byte pairs in 4 * kLanes bytes.
  static I16 PairSums(const std::uint8_t* p) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    return _mm_add_epi16(_mm_and_si128(v, _mm_set1_epi16(0x00FF)), _mm_srli_epi16(v, 8));
  }
  // Stores (s + 2) >> 2 of 2 * kLanes sums (each at most 1020) as bytes.
  static void StoreQuarter(std::uint8_t* p, I16 s) {
    const __m128i m = _mm_srli_epi16(_mm_add_epi16(s, _mm_set1_epi16(2)), 2);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(m, m));
  }

  // ---- floats and doubles ----
  using F32 = __m128;   // kLanes float
  using F64 = __m128d;  // kLanes / 2 double

  static F32 SplatF(float v) { return _mm_set1_ps(v); }
  static F32 Load(const float* p) { return _mm_loadu_ps(p); }
  static void Store(float* p, F32 a) { _mm_storeu_ps(p, a); }
  static F32 Add(F32 a, F32 b) { return _mm_add_ps(a, b); }
  static F32 Sub(F32 a, F32 b) { return _mm_sub_ps(a, b); }
  static F32 Mul(F32 a, F32 b) { return _mm_mul_ps(a, b); }
  static F32 Div(F32 a, F32 b) { return _mm_div_ps(a, b); }
  static F32 Sqrt(F32 a) { return _mm_sqrt_ps(a); }
  static F32 Abs(F32 a) { return _mm_and_ps(a, _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff))); }
  static I32 Less(F32 a, F32 b) { return _mm_castps_si128(_mm_cmplt_ps(a, b)); }
  static I32 Greater(F32 a, F32 b) { return _mm_castps_si128(_mm_cmpgt_ps(a, b)); }
  static I32 GreaterEq(F32 a, F32 b) { return _mm_castps_si128(_mm_cmpge_ps(a, b)); }
  // a where m is set, else +0.
  static F32 Keep(I32 m, F32 a) { return _mm_and_ps(_mm_castsi128_ps(m), a); }
  static F32 Select(I32 m, F32 a, F32 b) {
    const __m128 mf = _mm_castsi128_ps(m);
    return _mm_or_ps(_mm_and_ps(mf, a), _mm_andnot_ps(mf, b));
  }
  static I32 Truncate(F32 a) { return _mm_cvttps_epi32(a); }  // toward zero
  static I32 Round(F32 a) { return _mm_cvtps_epi32(a); }      // to nearest, ties to even
  static F32 ToFloat(I32 a) { return _mm_cvtepi32_ps(a); }

  static F64 SplatD(double v) { return _mm_set1_pd(v); }
  static F64 Load(const double* p) { return _mm_loadu_pd(p); }
  static void Store(double* p, F64 a) { _mm_storeu_pd(p, a); }
  // kLanes / 2 floats from p, as doubles.
  static F64 LoadWiden(const float* p) {
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
  }
  // p[0], p[stride], ... (kLanes / 2 of them).
  static F64 Gather(const double* p, std::size_t stride) { return _mm_set_pd(p[stride], p[0]); }
  static F64 Add(F64 a, F64 b) { return _mm_add_pd(a, b); }
  static F64 Sub(F64 a, F64 b) { return _mm_sub_pd(a, b); }
  static F64 Mul(F64 a, F64 b) { return _mm_mul_pd(a, b); }
  static F64 Div(F64 a, F64 b) { return _mm_div_pd(a, b); }
  // The lower and the upper half of the lanes as doubles; both halves rounded back to floats.
  static F64 WidenLo(F32 a) { return _mm_cvtps_pd(a); }
  static F64 WidenHi(F32 a) { return _mm_cvtps_pd(_mm_movehl_ps(a, a)); }
  static F64 WidenLo(I32 a) { return _mm_cvtepi32_pd(a); }
  static F64 WidenHi(I32 a) {
    return _mm_cvtepi32_pd(_mm_shuffle_epi32(a, _MM_SHUFFLE(3, 2, 3, 2)));
  }
  static F32 Narrow(F64 lo, F64 hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }

  // ---- more on int32 ----
  static I32 Sub(I32 a, I32 b) { return _mm_sub_epi32(a, b); }
  static I32 And(I32 a, I32 b) { return _mm_and_si128(a, b); }
  // Lane k's bit k: whether its mask is set.
  static unsigned MaskBits(I32 m) { return unsigned(_mm_movemask_ps(_mm_castsi128_ps(m))); }
  // Interleaved (row, column) int16 pairs, one per int32 lane: the row (low) and the column
  // (high) element, sign-extended; and back.
  static I32 LoadPairs(const std::int16_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }
  static void StorePairs(std::int16_t* p, I32 a) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a);
  }
  static I32 LowHalf(I32 a) { return _mm_srai_epi32(_mm_slli_epi32(a, 16), 16); }
  static I32 HighHalf(I32 a) { return _mm_srai_epi32(a, 16); }
  static I32 MakePairs(I32 lo, I32 hi) {
    return _mm_or_si128(_mm_and_si128(lo, _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(hi, 16));
  }
  // The four pixels (as pairs) of each lane's 2x2 cell of an image of pairs with rows of width
  // pixels, the cell's top-left pixel at (r0, c0): top left, top right, bottom left, bottom
  // right. Zero where the mask is clear (nothing is read there).
  static void CellPixels(const std::int16_t* pairs, I32 r0, I32 c0, int width, I32 mask, I32* tl,
                         I32* tr, I32* bl, I32* br) {
    alignas(16) std::int32_t rs[4], cs[4], in[4];
    Store(rs, r0);
    Store(cs, c0);
    Store(in, mask);
    alignas(16) static constexpr std::int16_t kNone[4] = {};
    __m128i top[4], bot[4];
    for (int k = 0; k < 4; ++k) {
      const std::size_t at =
          in[k] ? std::size_t(rs[k]) * std::size_t(width) + std::size_t(cs[k]) : 0;
      const std::int16_t* t = in[k] ? pairs + 2 * at : kNone;
      const std::int16_t* b = in[k] ? t + 2 * std::size_t(width) : kNone;
      top[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(t));  // left, right, 0, 0
      bot[k] = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b));
    }
    const __m128i t01 = _mm_unpacklo_epi32(top[0], top[1]),
                  t23 = _mm_unpacklo_epi32(top[2], top[3]);
    const __m128i b01 = _mm_unpacklo_epi32(bot[0], bot[1]),
                  b23 = _mm_unpacklo_epi32(bot[2], bot[3]);
    *tl = _mm_unpacklo_epi64(t01, t23);
    *tr = _mm_unpackhi_epi64(t01, t23);
    *bl = _mm_unpacklo_epi64(b01, b23);
    *br = _mm_unpackhi_epi64(b01, b23);
  }
};
#elif defined(VISION_SIMD_NEON)
struct Vec128 {
  using I32 = int32x4_t;
  using I16 = int16x8_t;
  static constexpr int kLanes = 4;

  static I32 Zero() { return vdupq_n_s32(0); }
  static I32 Splat(std::int32_t v) { return vdupq_n_s32(v); }
  static I32 Dot(const std::int16_t* g, I32 pair) {
    const int16x8_t gv = vld1q_s16(g);
    const int16x8_t dv = vreinterpretq_s16_s32(pair);
    return vpaddq_s32(vmull_s16(vget_low_s16(gv), vget_low_s16(dv)), vmull_high_s16(gv, dv));
  }
  static I32 Add(I32 a, I32 b) { return vaddq_s32(a, b); }
  static I32 Abs(I32 a) { return vabsq_s32(a); }
  static I32 Less(I32 a, I32 b) { return vreinterpretq_s32_u32(vcltq_s32(a, b)); }
  static I32 Greater(I32 a, I32 b) { return vreinterpretq_s32_u32(vcgtq_s32(a, b)); }
  static I32 Or(I32 a, I32 b) { return vorrq_s32(a, b); }
  static I32 AndNot(I32 a, I32 b) { return vbicq_s32(b, a); }
  static I32 Select(I32 m, I32 a, I32 b) { return vbslq_s32(vreinterpretq_u32_s32(m), a, b); }
  static I32 Load(const std::int32_t* p) { return vld1q_s32(p); }
  static bool AllSet(I32 a, I32 b) {
    return vminvq_u32(vandq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b))) == 0xFFFFFFFFu;
  }
  static void Store(std::int32_t* p, I32 a) { vst1q_s32(p, a); }

  static I16 LoadBytes(const std::uint8_t* p) {
    return vreinterpretq_s16_u16(vmovl_u8(vld1_u8(p)));
  }
  static I16 Add16(I16 a, I16 b) { return vaddq_s16(a, b); }
  static I16 Sub16(I16 a, I16 b) { return vsubq_s16(a, b); }
  static void StoreInterleaved(std::int16_t* p, I16 a, I16 b) {
    int16x8x2_t v;
    v.val[0] = a;
    v.val[1] = b;
    vst2q_s16(p, v);
  }
  static I16 PairSums(const std::uint8_t* p) {
    return vreinterpretq_s16_u16(vpaddlq_u8(vld1q_u8(p)));
  }
  static void StoreQuarter(std::uint8_t* p, I16 s) {
    vst1_u8(p, vrshrn_n_u16(vreinterpretq_u16_s16(s), 2));
  }

  // ---- floats and doubles ----
  using F32 = float32x4_t;
  using F64 = float64x2_t;

  static F32 SplatF(float v) { return vdupq_n_f32(v); }
  static F32 Load(const float* p) { return vld1q_f32(p); }
  static void Store(float* p, F32 a) { vst1q_f32(p, a); }
  static F32 Add(F32 a, F32 b) { return vaddq_f32(a, b); }
  static F32 Sub(F32 a, F32 b) { return vsubq_f32(a, b); }
  static F32 Mul(F32 a, F32 b) { return vmulq_f32(a, b); }
  static F32 Div(F32 a, F32 b) { return vdivq_f32(a, b); }
  static F32 Sqrt(F32 a) { return vsqrtq_f32(a); }
  static F32 Abs(F32 a) { return vabsq_f32(a); }
  static I32 Less(F32 a, F32 b) { return vreinterpretq_s32_u32(vcltq_f32(a, b)); }
  static I32 Greater(F32 a, F32 b) { return vreinterpretq_s32_u32(vcgtq_f32(a, b)); }
  static I32 GreaterEq(F32 a, F32 b) { return vreinterpretq_s32_u32(vcgeq_f32(a, b)); }
  static F32 Keep(I32 m, F32 a) {
    return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_s32(m), vreinterpretq_u32_f32(a)));
  }
  static F32 Select(I32 m, F32 a, F32 b) { return vbslq_f32(vreinterpretq_u32_s32(m), a, b); }
  static I32 Truncate(F32 a) { return vcvtq_s32_f32(a); }
  static I32 Round(F32 a) { return vcvtnq_s32_f32(a); }
  static F32 ToFloat(I32 a) { return vcvtq_f32_s32(a); }

  static F64 SplatD(double v) { return vdupq_n_f64(v); }
  static F64 Load(const double* p) { return vld1q_f64(p); }
  static void Store(double* p, F64 a) { vst1q_f64(p, a); }
  static F64 LoadWiden(const float* p) { return vcvt_f64_f32(vld1_f32(p)); }
  static F64 Gather(const double* p, std::size_t stride) {
    return vcombine_f64(vld1_f64(p), vld1_f64(p + stride));
  }
  static F64 Add(F64 a, F64 b) { return vaddq_f64(a, b); }
  static F64 Sub(F64 a, F64 b) { return vsubq_f64(a, b); }
  static F64 Mul(F64 a, F64 b) { return vmulq_f64(a, b); }
  static F64 Div(F64 a, F64 b) { return vdivq_f64(a, b); }
  static F64 WidenLo(F32 a) { return vcvt_f64_f32(vget_low_f32(a)); }
  static F64 WidenHi(F32 a) { return vcvt_high_f64_f32(a); }
  static F64 WidenLo(I32 a) { return vcvtq_f64_s64(vmovl_s32(vget_low_s32(a))); }
  static F64 WidenHi(I32 a) { return vcvtq_f64_s64(vmovl_high_s32(a)); }
  static F32 Narrow(F64 lo, F64 hi) { return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi); }

  // ---- more on int32 ----
  static I32 Sub(I32 a, I32 b) { return vsubq_s32(a, b); }
  static I32 And(I32 a, I32 b) { return vandq_s32(a, b); }
  static unsigned MaskBits(I32 m) {
    const uint32x4_t bits = {1, 2, 4, 8};
    return vaddvq_u32(vandq_u32(vreinterpretq_u32_s32(m), bits));
  }
  static I32 LoadPairs(const std::int16_t* p) { return vreinterpretq_s32_s16(vld1q_s16(p)); }
  static void StorePairs(std::int16_t* p, I32 a) { vst1q_s16(p, vreinterpretq_s16_s32(a)); }
  static I32 LowHalf(I32 a) { return vshrq_n_s32(vshlq_n_s32(a, 16), 16); }
  static I32 HighHalf(I32 a) { return vshrq_n_s32(a, 16); }
  static I32 MakePairs(I32 lo, I32 hi) {
    return vorrq_s32(vandq_s32(lo, vdupq_n_s32(0xFFFF)), vshlq_n_s32(hi, 16));
  }
  static void CellPixels(const std::int16_t* pairs, I32 r0, I32 c0, int width, I32 mask, I32* tl,
                         I32* tr, I32* bl, I32* br) {
    alignas(16) std::int32_t rs[4], cs[4], in[4];
    Store(rs, r0);
    Store(cs, c0);
    Store(in, mask);
    alignas(16) static constexpr std::int16_t kNone[4] = {};
    int32x2_t top[4], bot[4];  // each lane's left and right pixel
    for (int k = 0; k < 4; ++k) {
      const std::size_t at =
          in[k] ? std::size_t(rs[k]) * std::size_t(width) + std::size_t(cs[k]) : 0;
      const std::int16_t* t = in[k] ? pairs + 2 * at : kNone;
      const std::int16_t* b = in[k] ? t + 2 * std::size_t(width) : kNone;
      top[k] = vreinterpret_s32_s16(vld1_s16(t));
      bot[k] = vreinterpret_s32_s16(vld1_s16(b));
    }
    const int32x4_t t01 = vcombine_s32(top[0], top[1]), t23 = vcombine_s32(top[2], top[3]);
    const int32x4_t b01 = vcombine_s32(bot[0], bot[1]), b23 = vcombine_s32(bot[2], bot[3]);
    *tl = vuzp1q_s32(t01, t23);
    *tr = vuzp2q_s32(t01, t23);
    *bl = vuzp1q_s32(b01, b23);
    *br = vuzp2q_s32(b01, b23);
  }
};
#endif

#if defined(VISION_SIMD_AVX2)
// A kernel template instantiated for Vec256 is only ever compiled into a function built for AVX2
// (which takes it in whole), but GCC warns about the 256-bit returns of the template itself.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

struct Vec256 {
  using I32 = __m256i;
  using I16 = __m256i;
  static constexpr int kLanes = 8;

  VISION_SIMD_TARGET_AVX2 static I32 Zero() { return _mm256_setzero_si256(); }
  VISION_SIMD_TARGET_AVX2 static I32 Splat(std::int32_t v) { return _mm256_set1_epi32(v); }
  VISION_SIMD_TARGET_AVX2 static I32 Dot(const std::int16_t* g, I32 pair) {
    return _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g)), pair);
  }
  VISION_SIMD_TARGET_AVX2 static I32 Add(I32 a, I32 b) { return _mm256_add_epi32(a, b); }
  VISION_SIMD_TARGET_AVX2 static I32 Abs(I32 a) { return _mm256_abs_epi32(a); }
  VISION_SIMD_TARGET_AVX2 static I32 Less(I32 a, I32 b) { return _mm256_cmpgt_epi32(b, a); }
  VISION_SIMD_TARGET_AVX2 static I32 Greater(I32 a, I32 b) { return _mm256_cmpgt_epi32(a, b); }
  VISION_SIMD_TARGET_AVX2 static I32 Or(I32 a, I32 b) { return _mm256_or_si256(a, b); }
  VISION_SIMD_TARGET_AVX2 static I32 AndNot(I32 a, I32 b) { return _mm256_andnot_si256(a, b); }
  VISION_SIMD_TARGET_AVX2 static I32 Select(I32 m, I32 a, I32 b) {
    return _mm256_blendv_epi8(b, a, m);
  }
  VISION_SIMD_TARGET_AVX2 static I32 Load(const std::int32_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  VISION_SIMD_TARGET_AVX2 static bool AllSet(I32 a, I32 b) {
    return _mm256_movemask_epi8(_mm256_and_si256(a, b)) == -1;
  }
  VISION_SIMD_TARGET_AVX2 static void Store(std::int32_t* p, I32 a) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a);
  }

  VISION_SIMD_TARGET_AVX2 static I16 LoadBytes(const std::uint8_t* p) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
  }
  VISION_SIMD_TARGET_AVX2 static I16 Add16(I16 a, I16 b) { return _mm256_add_epi16(a, b); }
  VISION_SIMD_TARGET_AVX2 static I16 Sub16(I16 a, I16 b) { return _mm256_sub_epi16(a, b); }
  VISION_SIMD_TARGET_AVX2 static I16 PairSums(const std::uint8_t* p) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    return _mm256_add_epi16(_mm256_and_si256(v, _mm256_set1_epi16(0x00FF)),
                            _mm256_srli_epi16(v, 8));
  }
  VISION_SIMD_TARGET_AVX2 static void StoreQuarter(std::uint8_t* p, I16 s) {
    const __m256i m = _mm256_srli_epi16(_mm256_add_epi16(s, _mm256_set1_epi16(2)), 2);
    // The pack works within each 128-bit half: the bytes wanted are its 64-bit parts 0 and 2.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(m, m), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm256_castsi256_si128(packed));
  }
  VISION_SIMD_TARGET_AVX2 static void StoreInterleaved(std::int16_t* p, I16 a, I16 b) {
    // The unpacks work within each 128-bit half: lo holds columns 0-3 and 8-11, hi 4-7 and 12-15.
    const __m256i lo = _mm256_unpacklo_epi16(a, b), hi = _mm256_unpackhi_epi16(a, b);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p + 16),
                        _mm256_permute2x128_si256(lo, hi, 0x31));
  }

  // ---- floats and doubles ----
  using F32 = __m256;
  using F64 = __m256d;

  VISION_SIMD_TARGET_AVX2 static F32 SplatF(float v) { return _mm256_set1_ps(v); }
  VISION_SIMD_TARGET_AVX2 static F32 Load(const float* p) { return _mm256_loadu_ps(p); }
  VISION_SIMD_TARGET_AVX2 static void Store(float* p, F32 a) { _mm256_storeu_ps(p, a); }
  VISION_SIMD_TARGET_AVX2 static F32 Add(F32 a, F32 b) { return _mm256_add_ps(a, b); }
  VISION_SIMD_TARGET_AVX2 static F32 Sub(F32 a, F32 b) { return _mm256_sub_ps(a, b); }
  VISION_SIMD_TARGET_AVX2 static F32 Mul(F32 a, F32 b) { return _mm256_mul_ps(a, b); }
  VISION_SIMD_TARGET_AVX2 static F32 Div(F32 a, F32 b) { return _mm256_div_ps(a, b); }
  VISION_SIMD_TARGET_AVX2 static F32 Sqrt(F32 a) { return _mm256_sqrt_ps(a); }
  VISION_SIMD_TARGET_AVX2 static F32 Abs(F32 a) {
    return _mm256_and_ps(a, _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff)));
  }
  VISION_SIMD_TARGET_AVX2 static I32 Less(F32 a, F32 b) {
    return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_LT_OQ));
  }
  VISION_SIMD_TARGET_AVX2 static I32 Greater(F32 a, F32 b) {
    return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GT_OQ));
  }
  VISION_SIMD_TARGET_AVX2 static I32 GreaterEq(F32 a, F32 b) {
    return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GE_OQ));
  }
  VISION_SIMD_TARGET_AVX2 static F32 Keep(I32 m, F32 a) {
    return _mm256_and_ps(_mm256_castsi256_ps(m), a);
  }
  VISION_SIMD_TARGET_AVX2 static F32 Select(I32 m, F32 a, F32 b) {
    return _mm256_blendv_ps(b, a, _mm256_castsi256_ps(m));
  }
  VISION_SIMD_TARGET_AVX2 static I32 Truncate(F32 a) { return _mm256_cvttps_epi32(a); }
  VISION_SIMD_TARGET_AVX2 static I32 Round(F32 a) { return _mm256_cvtps_epi32(a); }
  VISION_SIMD_TARGET_AVX2 static F32 ToFloat(I32 a) { return _mm256_cvtepi32_ps(a); }

  VISION_SIMD_TARGET_AVX2 static F64 SplatD(double v) { return _mm256_set1_pd(v); }
  VISION_SIMD_TARGET_AVX2 static F64 Load(const double* p) { return _mm256_loadu_pd(p); }
  VISION_SIMD_TARGET_AVX2 static void Store(double* p, F64 a) { _mm256_storeu_pd(p, a); }
  VISION_SIMD_TARGET_AVX2 static F64 LoadWiden(const float* p) {
    return _mm256_cvtps_pd(_mm_loadu_ps(p));
  }
  VISION_SIMD_TARGET_AVX2 static F64 Gather(const double* p, std::size_t stride) {
    return _mm256_set_pd(p[3 * stride], p[2 * stride], p[stride], p[0]);
  }
  VISION_SIMD_TARGET_AVX2 static F64 Add(F64 a, F64 b) { return _mm256_add_pd(a, b); }
  VISION_SIMD_TARGET_AVX2 static F64 Sub(F64 a, F64 b) { return _mm256_sub_pd(a, b); }
  VISION_SIMD_TARGET_AVX2 static F64 Mul(F64 a, F64 b) { return _mm256_mul_pd(a, b); }
  VISION_SIMD_TARGET_AVX2 static F64 Div(F64 a, F64 b) { return _mm256_div_pd(a, b); }
  VISION_SIMD_TARGET_AVX2 static F64 WidenLo(F32 a) {
    return _mm256_cvtps_pd(_mm256_castps256_ps128(a));
  }
  VISION_SIMD_TARGET_AVX2 static F64 WidenHi(F32 a) {
    return _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1));
  }
  VISION_SIMD_TARGET_AVX2 static F64 WidenLo(I32 a) {
    return _mm256_cvtepi32_pd(_mm256_castsi256_si128(a));
  }
  VISION_SIMD_TARGET_AVX2 static F64 WidenHi(I32 a) {
    return _mm256_cvtepi32_pd(_mm256_extracti128_si256(a, 1));
  }
  VISION_SIMD_TARGET_AVX2 static F32 Narrow(F64 lo, F64 hi) {
    return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo));
  }

  // ---- more on int32 ----
  VISION_SIMD_TARGET_AVX2 static I32 Sub(I32 a, I32 b) { return _mm256_sub_epi32(a, b); }
  VISION_SIMD_TARGET_AVX2 static I32 And(I32 a, I32 b) { return _mm256_and_si256(a, b); }
  VISION_SIMD_TARGET_AVX2 static unsigned MaskBits(I32 m) {
    return unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(m)));
  }
  VISION_SIMD_TARGET_AVX2 static I32 LoadPairs(const std::int16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  VISION_SIMD_TARGET_AVX2 static void StorePairs(std::int16_t* p, I32 a) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), a);
  }
  VISION_SIMD_TARGET_AVX2 static I32 LowHalf(I32 a) {
    return _mm256_srai_epi32(_mm256_slli_epi32(a, 16), 16);
  }
  VISION_SIMD_TARGET_AVX2 static I32 HighHalf(I32 a) { return _mm256_srai_epi32(a, 16); }
  VISION_SIMD_TARGET_AVX2 static I32 MakePairs(I32 lo, I32 hi) {
    return _mm256_or_si256(_mm256_and_si256(lo, _mm256_set1_epi32(0xFFFF)),
                           _mm256_slli_epi32(hi, 16));
  }
  // Gathered: each row of a cell is one 64-bit element (its left and right pixel), four lanes
  // per gather, half the elements of gathering every pixel alone. The lanes go to the gathers
  // as (0, 1, 4, 5) and (2, 3, 6, 7), so that picking the even and the odd 32-bit halves of the
  // two results within each 128-bit half gives the left and the right pixels in lane order.
  VISION_SIMD_TARGET_AVX2 static void CellPixels(const std::int16_t* pairs, I32 r0, I32 c0,
                                                 int width, I32 mask, I32* tl, I32* tr, I32* bl,
                                                 I32* br) {
    const __m256i at = _mm256_and_si256(
        mask, _mm256_add_epi32(_mm256_mullo_epi32(r0, _mm256_set1_epi32(width)), c0));
    const long long* base = reinterpret_cast<const long long*>(pairs);
    const __m256i order = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    const __m256i at_o = _mm256_permutevar8x32_epi32(at, order);
    const __m256i in_o = _mm256_permutevar8x32_epi32(mask, order);
    const __m128i at_a = _mm256_castsi256_si128(at_o), at_b = _mm256_extracti128_si256(at_o, 1);
    const __m256i in_a = _mm256_cvtepi32_epi64(_mm256_castsi256_si128(in_o));
    const __m256i in_b = _mm256_cvtepi32_epi64(_mm256_extracti128_si256(in_o, 1));
    const __m128i w4 = _mm_set1_epi32(width);
    const __m256i zero = _mm256_setzero_si256();
    const __m256i top_a = _mm256_mask_i32gather_epi64(zero, base, at_a, in_a, 4);
    const __m256i top_b = _mm256_mask_i32gather_epi64(zero, base, at_b, in_b, 4);
    const __m256i bot_a = _mm256_mask_i32gather_epi64(zero, base, _mm_add_epi32(at_a, w4), in_a, 4);
    const __m256i bot_b = _mm256_mask_i32gather_epi64(zero, base, _mm_add_epi32(at_b, w4), in_b, 4);
    *tl = EvenHalves(top_a, top_b);
    *tr = OddHalves(top_a, top_b);
    *bl = EvenHalves(bot_a, bot_b);
    *br = OddHalves(bot_a, bot_b);
  }
  // The even (odd) 32-bit elements of a and b within each 128-bit half: a0 a2 b0 b2 | a4 a6 b4 b6.
  VISION_SIMD_TARGET_AVX2 static I32 EvenHalves(I32 a, I32 b) {
    return _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(2, 0, 2, 0)));
  }
  VISION_SIMD_TARGET_AVX2 static I32 OddHalves(I32 a, I32 b) {
    return _mm256_castps_si256(
        _mm256_shuffle_ps(_mm256_castsi256_ps(a), _mm256_castsi256_ps(b), _MM_SHUFFLE(3, 1, 3, 1)));
  }
};
#endif

}  // namespace vision::detail
