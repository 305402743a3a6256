#include "detail/simd.h"

#include <atomic>

#include "platform/environment.h"

namespace vision::detail {

namespace {

std::atomic<bool>& ScalarKernelsFlag() {
  static std::atomic<bool> flag{
      [] { return platform::Environment("VISION_SCALAR_KERNELS") == "1"; }()};
  return flag;
}

}  // namespace

bool CpuHasAvx2() {
#if defined(VISION_SIMD_AVX2)
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
#else
  return false;
#endif
}

bool SimdPathAvailable(SimdPath path) {
  switch (path) {
    case SimdPath::kReference:
      return true;
    case SimdPath::kVector128:
#if defined(VISION_SIMD_128)
      return true;
#else
      return false;
#endif
    case SimdPath::kVector256:
      return CpuHasAvx2();
  }
  return false;
}

SimdPath BestSimdPath() {
  static const SimdPath best = SimdPathAvailable(SimdPath::kVector256)   ? SimdPath::kVector256
                               : SimdPathAvailable(SimdPath::kVector128) ? SimdPath::kVector128
                                                                         : SimdPath::kReference;
  return ScalarKernels() ? SimdPath::kReference : best;
}

bool ScalarKernels() { return ScalarKernelsFlag().load(std::memory_order_relaxed); }

void SetScalarKernels(bool on) { ScalarKernelsFlag().store(on, std::memory_order_relaxed); }

}  // namespace vision::detail
