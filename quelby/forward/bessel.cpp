#include "quelby/forward/bessel.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace quelby {
namespace {

constexpr double series_limit = 1;      // the power series below, the integral above
constexpr double asymptotic_from = 25;  // where the asymptotic series reaches full precision

// K0 and K1 by their power series about 0 (Abramowitz and Stegun 9.6.13 and 9.6.11):
// K0 = -(ln(x/2) + gamma) I0 + sum_{k>=1} H_k y^k / (k!)^2 and
// K1 = 1/x + (ln(x/2) + gamma) I1 - (x/4) sum_{k>=0} (H_k + H_{k+1}) y^k / (k! (k+1)!),
// y = x^2 / 4, H_k the harmonic numbers. Below x = 1 the terms fall by y / k^2 and cancel little.
ScaledBesselK power_series(double x) {
  const double y = x * x / 4;
  double i0 = 0, i1_sum = 0, k0_sum = 0, k1_sum = 0;
  double term0 = 1;  // y^k / (k!)^2
  double term1 = 1;  // y^k / (k! (k+1)!)
  double harmonic = 0;
  for (int k = 0; k < 30; ++k) {
    const double next_harmonic = harmonic + 1.0 / (k + 1);
    i0 += term0;
    i1_sum += term1;
    k0_sum += harmonic * term0;
    k1_sum += (harmonic + next_harmonic) * term1;
    if (term0 < 1e-18 * i0) break;
    harmonic = next_harmonic;
    term0 *= y / ((k + 1.0) * (k + 1.0));
    term1 *= y / ((k + 1.0) * (k + 2.0));
  }
  const double logarithm = std::log(x / 2) + std::numbers::egamma;
  const double i1 = x / 2 * i1_sum;
  return {-logarithm * i0 + k0_sum, 1 / x + logarithm * i1 - x / 4 * k1_sum};
}

// e^x K_n(x) = int_0^inf exp(-x (cosh t - 1)) cosh(n t) dt by the trapezoidal rule. The integrand
// is entire and falls twice exponentially, so the rule's error is about exp(x - pi^2 / h): the step
// h = pi^2 / (x + 42) keeps it near e^-42, and the sum stops where x (cosh t - 1) passes 45.
ScaledBesselK trapezoidal(double x) {
  const double step = std::numbers::pi * std::numbers::pi / (x + 42);
  const double grow = std::exp(step / 2);
  // sinh(t / 2) and cosh(t) at t = j h from powers of e^(h/2); cosh t - 1 = 2 sinh^2(t / 2) keeps
  // full precision near t = 0.
  double up = 1, down = 1;
  double k0 = 0.5, k1 = 0.5;  // the end point t = 0 counts half
  for (int j = 1; j < 200; ++j) {
    up *= grow;
    down /= grow;
    const double half_sinh = (up - down) / 2;
    const double exponent = 2 * x * half_sinh * half_sinh;
    if (exponent > 45) break;
    const double value = std::exp(-exponent);
    const double cosh_t = (up * up + down * down) / 2;
    k0 += value;
    k1 += value * cosh_t;
  }
  return {k0 * step, k1 * step};
}

// e^x K_n(x) ~ sqrt(pi / (2x)) sum_k a_k / x^k, a_0 = 1, a_k = a_{k-1} (4n^2 - (2k-1)^2) / (8k)
// (Abramowitz and Stegun 9.7.2), summed until the terms stop mattering; from x = 25 the smallest
// term is below 1e-20 of the sum.
ScaledBesselK asymptotic(double x) {
  const double scale = std::sqrt(std::numbers::pi / 2) / std::sqrt(x);  // 2x may overflow
  double k0 = 1, k1 = 1, term0 = 1, term1 = 1;
  for (int k = 1; k < 60; ++k) {
    const double odd = 2.0 * k - 1;
    term0 *= -odd * odd / (8 * k * x);
    term1 *= (4 - odd * odd) / (8 * k * x);
    k0 += term0;
    k1 += term1;
    if (std::abs(term0) < 1e-18 * k0 && std::abs(term1) < 1e-18 * k1) break;
  }
  return {scale * k0, scale * k1};
}

}  // namespace

ScaledBesselK scaled_bessel_k(double x) {
  if (!(x > 0)) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return {nan, nan};
  }
  if (x < series_limit) {
    const ScaledBesselK plain = power_series(x);
    const double grow = std::exp(x);
    return {plain.k0 * grow, plain.k1 * grow};
  }
  return x < asymptotic_from ? trapezoidal(x) : asymptotic(x);
}

double bessel_k0(double x) {
  if (x > 0 && x < series_limit) return power_series(x).k0;
  return scaled_bessel_k(x).k0 * std::exp(-x);
}

double bessel_k1_over_k0(double x) {
  if (x > 0 && x < series_limit) {
    const ScaledBesselK plain = power_series(x);
    return plain.k1 / plain.k0;
  }
  const ScaledBesselK scaled = scaled_bessel_k(x);
  return scaled.k1 / scaled.k0;
}

}  // namespace quelby
