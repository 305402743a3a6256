// The small vector layer the matcher's kernels are written over: the same few operations on
// 128-bit vectors (SSE2 or NEON) and on 256-bit vectors (AVX2), so that each kernel is written
// once as a template over the vector type. Not installed.
//
// Vec128 exists where VISION_SIMD_128 is defined, Vec256 where VISION_SIMD_AVX2 is; a kernel
// instantiated for Vec256 must be compiled for AVX2 (VISION_SIMD_TARGET_AVX2 with
// VISION_SIMD_FLATTEN) and called only when CpuHasAvx2().
#pragma once

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
};
#endif

}  // namespace vision::detail
