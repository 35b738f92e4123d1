// The modified Bessel functions of the second kind K0 and K1 of the transform along y, for every
// x > 0 a double can hold: a power series below 1, the trapezoidal rule on the integral
// e^x K_n(x) = int_0^inf exp(-x (cosh t - 1)) cosh(n t) dt up to 25, the asymptotic series beyond.
// The scaled values e^x K_n(x) never underflow, so that ratios of them stay exact far out.
#pragma once

namespace quelby {

// e^x K0(x) and e^x K1(x) for x > 0, each to a few units in the last place. Cost: a few dozen
// floating-point operations and at most 20 exponentials.
struct ScaledBesselK {
  double k0 = 0;
  double k1 = 0;
};
ScaledBesselK scaled_bessel_k(double x);

// K0(x) for x > 0: 0 where it underflows (x beyond about 745).
double bessel_k0(double x);

// K1(x) / K0(x) for x > 0: finite for every finite x, tending to 1 + 1 / (2x) far out.
double bessel_k1_over_k0(double x);

}  // namespace quelby
