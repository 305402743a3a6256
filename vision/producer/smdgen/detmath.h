// Arithmetic for the SMD image generator that gives the same bits on every platform.
//
// The generator must produce identical images everywhere, so it avoids everything whose result
// may differ between C libraries or compilers: std:: random distributions, and the libm
// transcendental functions (sin, cos, exp), whose last bits are not fixed by IEEE 754. What is
// left is +, -, *, / and sqrt, which IEEE 754 rounds exactly, evaluated in a fixed order with
// floating-point contraction (FMA) switched off for the generator's sources.
#pragma once

#include <cstdint>

namespace smdgen {

// splitmix64: a small 64-bit generator with a fixed, documented output sequence.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}

  std::uint64_t Next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  // Uniform in [0, 1), 53 random bits.
  double Uniform() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }
  double Uniform(double lo, double hi) { return lo + (hi - lo) * Uniform(); }
  // Uniform integer in [0, n).
  int Below(int n) { return static_cast<int>(Next() % static_cast<std::uint64_t>(n)); }
  bool Chance(double p) { return Uniform() < p; }
  // Approximately standard normal: the sum of twelve uniforms minus six (mean 0, variance 1).
  double Normal() {
    double s = 0.0;
    for (int i = 0; i < 12; ++i) s += Uniform();
    return s - 6.0;
  }

 private:
  std::uint64_t state_;
};

// A 64-bit mix of three integers (the splitmix64 finaliser), for lattice noise.
std::uint64_t Hash3(std::int64_t a, std::int64_t b, std::uint64_t seed);
// Smooth value noise in [-1, 1] at (row, col), with features about `scale` pixels large.
double ValueNoise(double row, double col, double scale, std::uint64_t seed);

inline constexpr double kPi = 3.14159265358979323846;

// sin, cos and exp built from basic operations only (a few ulp accurate, bit-identical everywhere).
double Sin(double x);
double Cos(double x);
double Exp(double x);
// x rounded (half away from zero) to a multiple of 1/per_unit, e.g. per_unit 1000 for 0.001:
// the result is the double nearest to the decimal, so printing it with that many digits is exact.
double Quantize(double x, double per_unit);

}  // namespace smdgen
