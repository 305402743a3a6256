// What the processor offers for vector code, and the switch that runs everything on the plain
// scalar reference paths instead. The one place that detects the processor. Not installed.
//
// Compile time: x86-64 always has SSE2, 64-bit ARM always has NEON (the 128-bit paths). Run
// time: AVX2 on x86-64 with GCC (the 256-bit paths, in functions compiled for AVX2 alone, so the
// binaries stay plain x86-64). Clang builds (the fuzzing build) use the 128-bit paths: the kernel
// templates take 256-bit values as arguments, which Clang accepts only in functions that are
// themselves marked for AVX2, while GCC compiles them into the one marked function that calls
// them (flatten).
#pragma once

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define VISION_SIMD_SSE2 1
#define VISION_SIMD_128 1
#if defined(__GNUC__) && !defined(__clang__)
#include <immintrin.h>
#define VISION_SIMD_AVX2 1
#endif
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#define VISION_SIMD_NEON 1
#define VISION_SIMD_128 1
#endif

// Marks a function compiled for AVX2; with VISION_SIMD_FLATTEN every helper it calls is compiled
// into it, in AVX2 too (so one template serves the 128-bit and the 256-bit paths).
#if defined(VISION_SIMD_AVX2)
#define VISION_SIMD_TARGET_AVX2 __attribute__((target("avx2")))
#define VISION_SIMD_FLATTEN __attribute__((flatten))
#endif

namespace vision::detail {

// Whether this processor runs AVX2 code (false where the build has no AVX2 paths).
bool CpuHasAvx2();

// A hint to the processor that this is a spin-wait loop.
inline void CpuRelax() {
#if defined(VISION_SIMD_SSE2)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

// The implementations a kernel with vector paths chooses from: the scalar reference, 128-bit
// vectors (SSE2 or NEON) and 256-bit vectors (AVX2, x86-64 only).
enum class SimdPath { kReference, kVector128, kVector256 };
bool SimdPathAvailable(SimdPath path);
// The widest path this processor has within SimdPathLimit(), or the reference while
// ScalarKernels() is set.
SimdPath BestSimdPath();

// The widest path BestSimdPath may choose. Starts from the environment variable
// VISION_VECTOR_BITS, read once: "128" keeps the kernels to their 128-bit paths (SSE2 on an
// x86-64 processor with AVX2: the paths 64-bit ARM takes, with NEON); anything else leaves
// them all. Tests switch it with SetSimdPathLimit.
SimdPath SimdPathLimit();
void SetSimdPathLimit(SimdPath widest);

// When set, every kernel with a vector path takes its scalar reference instead, so a whole
// operator can be compared against the reference. Starts from the environment variable
// VISION_SCALAR_KERNELS (set by "1"), read once; tests switch it with SetScalarKernels.
bool ScalarKernels();
void SetScalarKernels(bool on);

}  // namespace vision::detail
