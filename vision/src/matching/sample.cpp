// Bilinear gradient sampling on a path given: the entry through which tests hold each path's
// sampling to the reference.
#include "matching/sample.h"

namespace vision::detail {

namespace {

#if defined(VISION_SIMD_128)
template <class V>
std::size_t GradAtVec(const PyramidLevel& lv, const float* r, const float* c, std::size_t n,
                      float* gr, float* gc) {
  std::size_t i = 0;
  for (; i + V::kLanes <= n; i += V::kLanes) {
    typename V::F32 vr, vc;
    GradAtLanes<V>(lv, V::Load(r + i), V::Load(c + i), &vr, &vc);
    V::Store(gr + i, vr);
    V::Store(gc + i, vc);
  }
  return i;
}
#endif

#if defined(VISION_SIMD_AVX2)
VISION_SIMD_TARGET_AVX2 VISION_SIMD_FLATTEN std::size_t GradAt256(const PyramidLevel& lv,
                                                                  const float* r, const float* c,
                                                                  std::size_t n, float* gr,
                                                                  float* gc) {
  return GradAtVec<Vec256>(lv, r, c, n, gr, gc);
}
#endif

}  // namespace

void GradAtWith(SimdPath path, const PyramidLevel& lv, const float* r, const float* c,
                std::size_t n, float* gr, float* gc) {
  std::size_t i = 0;
  switch (path) {
#if defined(VISION_SIMD_AVX2)
    case SimdPath::kVector256:
      i = GradAt256(lv, r, c, n, gr, gc);
      break;
#endif
#if defined(VISION_SIMD_128)
    case SimdPath::kVector128:
      i = GradAtVec<Vec128>(lv, r, c, n, gr, gc);
      break;
#endif
    default:
      break;
  }
  for (; i < n; ++i) GradAtRef(lv, r[i], c[i], gr + i, gc + i);
}

}  // namespace vision::detail
