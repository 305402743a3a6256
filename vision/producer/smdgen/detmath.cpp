#include "detmath.h"

#include <cmath>

namespace smdgen {

std::uint64_t Hash3(std::int64_t a, std::int64_t b, std::uint64_t seed) {
  std::uint64_t z = seed ^ (static_cast<std::uint64_t>(a) * 0x9e3779b97f4a7c15ULL) ^
                    (static_cast<std::uint64_t>(b) * 0xc2b2ae3d27d4eb4fULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

namespace {
double LatticeValue(std::int64_t r, std::int64_t c, std::uint64_t seed) {
  return static_cast<double>(Hash3(r, c, seed) >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}
double Smooth(double t) { return t * t * (3.0 - 2.0 * t); }

// Taylor series of sin and cos on |x| <= pi/4, enough terms for double precision.
double SinReduced(double x) {
  const double x2 = x * x;
  double term = x;
  double sum = x;
  for (int k = 1; k <= 10; ++k) {
    term = -term * x2 / static_cast<double>((2 * k) * (2 * k + 1));
    sum += term;
  }
  return sum;
}
double CosReduced(double x) {
  const double x2 = x * x;
  double term = 1.0;
  double sum = 1.0;
  for (int k = 1; k <= 10; ++k) {
    term = -term * x2 / static_cast<double>((2 * k - 1) * (2 * k));
    sum += term;
  }
  return sum;
}
}  // namespace

double ValueNoise(double row, double col, double scale, std::uint64_t seed) {
  const double fr = row / scale;
  const double fc = col / scale;
  const double r0 = std::floor(fr);
  const double c0 = std::floor(fc);
  const double tr = Smooth(fr - r0);
  const double tc = Smooth(fc - c0);
  const auto ir = static_cast<std::int64_t>(r0);
  const auto ic = static_cast<std::int64_t>(c0);
  const double v00 = LatticeValue(ir, ic, seed);
  const double v01 = LatticeValue(ir, ic + 1, seed);
  const double v10 = LatticeValue(ir + 1, ic, seed);
  const double v11 = LatticeValue(ir + 1, ic + 1, seed);
  const double top = v00 + (v01 - v00) * tc;
  const double bottom = v10 + (v11 - v10) * tc;
  return top + (bottom - top) * tr;
}

double Sin(double x) {
  const double n = std::nearbyint(x / (kPi / 2.0));
  const double r = x - n * (kPi / 2.0);
  switch (static_cast<std::int64_t>(n) & 3) {
    case 0:
      return SinReduced(r);
    case 1:
      return CosReduced(r);
    case 2:
      return -SinReduced(r);
    default:
      return -CosReduced(r);
  }
}

double Cos(double x) { return Sin(x + kPi / 2.0); }

double Exp(double x) {
  // exp(x) = exp(x / 2^k)^(2^k) with |x / 2^k| < 1/32 and a short Taylor series for the rest.
  int k = 0;
  double y = x;
  while (y > 1.0 / 32.0 || y < -1.0 / 32.0) {
    y *= 0.5;
    ++k;
  }
  double term = 1.0;
  double sum = 1.0;
  for (int i = 1; i <= 8; ++i) {
    term = term * y / static_cast<double>(i);
    sum += term;
  }
  for (int i = 0; i < k; ++i) sum *= sum;
  return sum;
}

double Quantize(double x, double per_unit) { return std::round(x * per_unit) / per_unit; }

}  // namespace smdgen
