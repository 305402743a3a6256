// The coarse exhaustive scan: scores of every position of one image row for one pose.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "matching/shape_model.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VISION_SCAN_SSE2 1
#if defined(__GNUC__)
// 256-bit lanes where the processor has them, chosen at run time: the binaries stay x86-64.
#include <immintrin.h>
#define VISION_SCAN_AVX2 1
#endif
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define VISION_SCAN_NEON 1
#endif

namespace vision::detail {

void ScanRowRef(const ScanImage& img, const ScanPose& pose, int row, int polarity,
                const std::int32_t* threshold, std::int32_t* out) {
  const std::size_t n = pose.offset.size();
  const std::int16_t* base =
      img.data.data() + 2 * (std::size_t(row + img.pad) * img.stride + std::size_t(img.pad));
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dir = pose.dir.data();
  for (int c = 0; c < img.width; ++c) {
    const std::int16_t* p = base + 2 * c;
    std::int32_t sum = 0;
    bool dead = false;
    for (std::size_t j = 0; j < n; ++j) {
      const std::int16_t* g = p + off[j];
      std::int32_t d = std::int32_t(g[0]) * dir[2 * j] + std::int32_t(g[1]) * dir[2 * j + 1];
      if (polarity == 2) d = std::abs(d);
      sum += d;
      if ((j + 1) % kScanCheckEvery == 0) {
        const std::int32_t s = polarity == 1 ? std::abs(sum) : sum;
        if (s < threshold[(j + 1) / kScanCheckEvery - 1]) {
          dead = true;
          break;
        }
      }
    }
    out[c] = dead ? kScanDead : (polarity == 1 ? std::abs(sum) : sum);
  }
}

#if defined(VISION_SCAN_SSE2) || defined(VISION_SCAN_NEON)
namespace {

#if defined(VISION_SCAN_SSE2)
using V = __m128i;  // four int32 sums
inline V Zero() { return _mm_setzero_si128(); }
inline V Splat(std::int32_t v) { return _mm_set1_epi32(v); }
// Dot products of four interleaved (row, col) gradients with one direction pair.
inline V Dot4(const std::int16_t* g, V dir) {
  return _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(g)), dir);
}
inline V Add(V a, V b) { return _mm_add_epi32(a, b); }
inline V Abs(V a) {
  const V s = _mm_srai_epi32(a, 31);
  return _mm_sub_epi32(_mm_xor_si128(a, s), s);
}
inline V Less(V a, V b) { return _mm_cmplt_epi32(a, b); }
inline V Or(V a, V b) { return _mm_or_si128(a, b); }
inline bool AllSet(V a, V b) { return _mm_movemask_epi8(_mm_and_si128(a, b)) == 0xFFFF; }
inline void Store(std::int32_t* p, V a) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), a); }
#else
using V = int32x4_t;
inline V Zero() { return vdupq_n_s32(0); }
inline V Splat(std::int32_t v) { return vdupq_n_s32(v); }
inline V Dot4(const std::int16_t* g, V dir) {
  const int16x8_t gv = vld1q_s16(g);
  const int16x8_t dv = vreinterpretq_s16_s32(dir);
  return vpaddq_s32(vmull_s16(vget_low_s16(gv), vget_low_s16(dv)), vmull_high_s16(gv, dv));
}
inline V Add(V a, V b) { return vaddq_s32(a, b); }
inline V Abs(V a) { return vabsq_s32(a); }
inline V Less(V a, V b) { return vreinterpretq_s32_u32(vcltq_s32(a, b)); }
inline V Or(V a, V b) { return vorrq_s32(a, b); }
inline bool AllSet(V a, V b) {
  return vminvq_u32(vandq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b))) == 0xFFFFFFFFu;
}
inline void Store(std::int32_t* p, V a) { vst1q_s32(p, a); }
#endif

// Eight columns at a time; a lane that misses a checkpoint is dead for good, exactly as in the
// reference, and the block stops once all eight lanes are dead.
template <int kPolarity>
void ScanRowFast(const ScanImage& img, const ScanPose& pose, int row, const std::int32_t* threshold,
                 std::int32_t* out) {
  const std::size_t n = pose.offset.size();
  const std::int16_t* base =
      img.data.data() + 2 * (std::size_t(row + img.pad) * img.stride + std::size_t(img.pad));
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dirs = pose.dir.data();
  for (int c = 0; c < img.width; c += 8) {
    const std::int16_t* p = base + 2 * c;
    V s0 = Zero(), s1 = Zero();
    V dead0 = Zero(), dead1 = Zero();
    std::size_t j = 0;
    for (std::size_t k = 0; j < n; ++k) {
      const std::size_t stop = std::min(n, j + kScanCheckEvery);
      for (; j < stop; ++j) {
        std::int32_t pair;  // (row, col) as one 32-bit lane, repeated
        std::memcpy(&pair, dirs + 2 * j, sizeof pair);
        const V d = Splat(pair);
        V m0 = Dot4(p + off[j], d);
        V m1 = Dot4(p + off[j] + 8, d);
        if (kPolarity == 2) m0 = Abs(m0), m1 = Abs(m1);
        s0 = Add(s0, m0);
        s1 = Add(s1, m1);
      }
      if (j % kScanCheckEvery != 0) break;  // no checkpoint after an incomplete group
      const V t = Splat(threshold[k]);
      dead0 = Or(dead0, Less(kPolarity == 1 ? Abs(s0) : s0, t));
      dead1 = Or(dead1, Less(kPolarity == 1 ? Abs(s1) : s1, t));
      if (AllSet(dead0, dead1)) break;
    }
    if (kPolarity == 1) s0 = Abs(s0), s1 = Abs(s1);
    alignas(16) std::int32_t res[8], dm[8];
    Store(res, s0);
    Store(res + 4, s1);
    Store(dm, dead0);
    Store(dm + 4, dead1);
    const int lanes = std::min(8, img.width - c);
    for (int l = 0; l < lanes; ++l) out[c + l] = dm[l] ? kScanDead : res[l];
  }
}

#if defined(VISION_SCAN_AVX2)
// As above with sixteen columns per block in 256-bit registers.
template <int kPolarity>
__attribute__((target("avx2"))) void ScanRowAvx2(const ScanImage& img, const ScanPose& pose,
                                                 int row, const std::int32_t* threshold,
                                                 std::int32_t* out) {
  const std::size_t n = pose.offset.size();
  const std::int16_t* base =
      img.data.data() + 2 * (std::size_t(row + img.pad) * img.stride + std::size_t(img.pad));
  const std::int32_t* off = pose.offset.data();
  const std::int16_t* dirs = pose.dir.data();
  for (int c = 0; c < img.width; c += 16) {
    const std::int16_t* p = base + 2 * c;
    __m256i s0 = _mm256_setzero_si256(), s1 = _mm256_setzero_si256();
    __m256i dead0 = _mm256_setzero_si256(), dead1 = _mm256_setzero_si256();
    std::size_t j = 0;
    for (std::size_t k = 0; j < n; ++k) {
      const std::size_t stop = std::min(n, j + kScanCheckEvery);
      for (; j < stop; ++j) {
        std::int32_t pair;
        std::memcpy(&pair, dirs + 2 * j, sizeof pair);
        const __m256i d = _mm256_set1_epi32(pair);
        const std::int16_t* g = p + off[j];
        __m256i m0 = _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g)), d);
        __m256i m1 =
            _mm256_madd_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(g + 16)), d);
        if (kPolarity == 2) m0 = _mm256_abs_epi32(m0), m1 = _mm256_abs_epi32(m1);
        s0 = _mm256_add_epi32(s0, m0);
        s1 = _mm256_add_epi32(s1, m1);
      }
      if (j % kScanCheckEvery != 0) break;
      const __m256i t = _mm256_set1_epi32(threshold[k]);
      dead0 =
          _mm256_or_si256(dead0, _mm256_cmpgt_epi32(t, kPolarity == 1 ? _mm256_abs_epi32(s0) : s0));
      dead1 =
          _mm256_or_si256(dead1, _mm256_cmpgt_epi32(t, kPolarity == 1 ? _mm256_abs_epi32(s1) : s1));
      if (_mm256_movemask_epi8(_mm256_and_si256(dead0, dead1)) == -1) break;
    }
    if (kPolarity == 1) s0 = _mm256_abs_epi32(s0), s1 = _mm256_abs_epi32(s1);
    alignas(32) std::int32_t res[16], dm[16];
    _mm256_store_si256(reinterpret_cast<__m256i*>(res), s0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(res + 8), s1);
    _mm256_store_si256(reinterpret_cast<__m256i*>(dm), dead0);
    _mm256_store_si256(reinterpret_cast<__m256i*>(dm + 8), dead1);
    const int lanes = std::min(16, img.width - c);
    for (int l = 0; l < lanes; ++l) out[c + l] = dm[l] ? kScanDead : res[l];
  }
}
#endif

}  // namespace
#endif

bool ScanPathAvailable(ScanPath path) {
  switch (path) {
    case ScanPath::kReference:
      return true;
    case ScanPath::kVector128:
#if defined(VISION_SCAN_SSE2) || defined(VISION_SCAN_NEON)
      return true;
#else
      return false;
#endif
    case ScanPath::kVector256:
#if defined(VISION_SCAN_AVX2)
      return __builtin_cpu_supports("avx2");
#else
      return false;
#endif
  }
  return false;
}

void ScanRowWith(ScanPath path, const ScanImage& img, const ScanPose& pose, int row, int polarity,
                 const std::int32_t* threshold, std::int32_t* out) {
  switch (path) {
#if defined(VISION_SCAN_AVX2)
    case ScanPath::kVector256:
      if (polarity == 0) return ScanRowAvx2<0>(img, pose, row, threshold, out);
      if (polarity == 1) return ScanRowAvx2<1>(img, pose, row, threshold, out);
      return ScanRowAvx2<2>(img, pose, row, threshold, out);
#endif
#if defined(VISION_SCAN_SSE2) || defined(VISION_SCAN_NEON)
    case ScanPath::kVector128:
      if (polarity == 0) return ScanRowFast<0>(img, pose, row, threshold, out);
      if (polarity == 1) return ScanRowFast<1>(img, pose, row, threshold, out);
      return ScanRowFast<2>(img, pose, row, threshold, out);
#endif
    default:
      return ScanRowRef(img, pose, row, polarity, threshold, out);
  }
}

void ScanRow(const ScanImage& img, const ScanPose& pose, int row, int polarity,
             const std::int32_t* threshold, std::int32_t* out) {
  static const ScanPath best = ScanPathAvailable(ScanPath::kVector256)   ? ScanPath::kVector256
                               : ScanPathAvailable(ScanPath::kVector128) ? ScanPath::kVector128
                                                                         : ScanPath::kReference;
  ScanRowWith(best, img, pose, row, polarity, threshold, out);
}

}  // namespace vision::detail
