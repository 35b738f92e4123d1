// The analytic potential of a unit current at a point of a uniform half-space of unit conductivity
// (the primary field of the 3-D forward model) and the integrals over a box that the trilinear
// elements need of it: the gradient's products with the element's shape functions, exact even on
// a box that touches the source, through the faces of the box (the shape functions are harmonic,
// so the volume integral of grad p . grad phi is the surface integral of p d(phi)/dn).
#pragma once

#include <array>

namespace quelby {

// p(r) = 1 / (omega |r - s|) for a source on the ground's surface, omega the solid angle of the
// ground around it (2 pi on flat ground, pi on the edge of a step, 3 pi at its foot); a buried
// source (z > surface_z, z down, ground all around) adds its image above the plane z = surface_z:
// (1 / (4 pi)) (1/|r - s| + 1/|r - s'|).
// `use_image` false gives the full-space form 1 / (4 pi |r - s|) for a buried source whose image
// would fall inside the ground.
struct PointSource {
  double x = 0, y = 0, z = 0;
  double surface_z = 0;
  bool buried = false;
  bool use_image = true;
  double solid_angle = 2 * 3.14159265358979323846;  // of a source on the surface

  double image_z() const noexcept { return 2 * surface_z - z; }
  double potential(double px, double py, double pz) const noexcept;
  // The gradient of the potential at a point.
  std::array<double, 3> gradient(double px, double py, double pz) const noexcept;
};

// The integral over the rectangle [y1, y2] x [z1, z2] of the plane at distance `h` from a point
// that projects onto the plane's origin, of (1, y, z, y z) / sqrt(y^2 + z^2 + h^2). Exact closed
// forms (with logarithms and an arc tangent), finite also where a corner meets the point.
std::array<double, 4> rectangle_inverse_distance_moments(double y1, double y2, double z1, double z2,
                                                         double h) noexcept;

// a_l = integral over the box [x0,x1] x [y0,y1] x [z0,z1] of grad p . grad phi_l for the eight
// trilinear shape functions (l = a + 2 b + 4 c for the corner at x_a, y_b, z_c), the box not
// containing the source in its interior (its closure may).
std::array<double, 8> box_gradient_integrals(const PointSource& source, double x0, double x1,
                                             double y0, double y1, double z0, double z1) noexcept;

// The same integrals by Gauss-Legendre quadrature of `order` (2 or 3) points per axis: for a box
// at least one of its widths away from the source (the error falls from about 2e-3 of the largest
// integral at one width to 3e-6 at eight with 2 points, 4e-5 to 4e-9 with 3).
std::array<double, 8> box_gradient_gauss(const PointSource& source, double x0, double x1, double y0,
                                         double y1, double z0, double z1, int order) noexcept;

// The 2-point rule of box_gradient_gauss, summed one axis at a time.
std::array<double, 8> box_gradient_gauss2(const PointSource& source, double x0, double x1,
                                          double y0, double y1, double z0, double z1) noexcept;

}  // namespace quelby
