#include "quelby/forward/primary3d.hpp"

#include <cmath>
#include <numbers>

namespace quelby {

namespace {

// One point term of the primary potential: strength / |r - q|.
struct PointTerm {
  double x, y, z;
  double strength;
};

int point_terms(const PointSource& source, PointTerm terms[2]) {
  if (!source.buried) {
    terms[0] = {source.x, source.y, source.z, 1 / source.solid_angle};
    return 1;
  }
  terms[0] = {source.x, source.y, source.z, 1 / (4 * std::numbers::pi)};
  if (!source.use_image) return 1;
  terms[1] = {source.x, source.y, source.image_z(), 1 / (4 * std::numbers::pi)};
  return 2;
}

// log(v + R) with R = sqrt(v^2 + w2): without cancellation for negative v.
double log_v_plus_r(double v, double r, double w2) {
  if (v >= 0) return std::log(v + r);
  return std::log(w2 / (r - v));
}

struct Antiderivatives {
  double one, u, v, uv;
};

Antiderivatives antiderivatives(double u, double v, double h) {
  const double u2 = u * u;
  const double v2 = v * v;
  const double h2 = h * h;
  const double r = std::sqrt(u2 + v2 + h2);
  Antiderivatives f{};
  const double uh = u2 + h2;
  const double vh = v2 + h2;
  // log(v + R) multiplies u and (u^2 + h^2): both 0 where it is unbounded.
  const double log_v = (uh == 0) ? 0.0 : log_v_plus_r(v, r, uh);
  const double log_u = (vh == 0) ? 0.0 : log_v_plus_r(u, r, vh);
  f.one = (uh == 0 ? 0.0 : u * log_v) + (vh == 0 ? 0.0 : v * log_u);
  if (h != 0 && r != 0) f.one -= h * std::atan(u * v / (h * r));
  f.u = 0.5 * v * r + 0.5 * uh * log_v;
  f.v = 0.5 * u * r + 0.5 * vh * log_u;
  f.uv = r * r * r / 3;
  return f;
}

}  // namespace

double PointSource::potential(double px, double py, double pz) const noexcept {
  PointTerm terms[2];
  const int count = point_terms(*this, terms);
  double sum = 0;
  for (int t = 0; t < count; ++t) {
    const double dx = px - terms[t].x, dy = py - terms[t].y, dz = pz - terms[t].z;
    sum += terms[t].strength / std::sqrt(dx * dx + dy * dy + dz * dz);
  }
  return sum;
}

std::array<double, 3> PointSource::gradient(double px, double py, double pz) const noexcept {
  PointTerm terms[2];
  const int count = point_terms(*this, terms);
  std::array<double, 3> g{0, 0, 0};
  for (int t = 0; t < count; ++t) {
    const double dx = px - terms[t].x, dy = py - terms[t].y, dz = pz - terms[t].z;
    const double r2 = dx * dx + dy * dy + dz * dz;
    if (r2 == 0) continue;
    const double scale = -terms[t].strength / (r2 * std::sqrt(r2));
    g[0] += scale * dx;
    g[1] += scale * dy;
    g[2] += scale * dz;
  }
  return g;
}

std::array<double, 4> rectangle_inverse_distance_moments(double y1, double y2, double z1, double z2,
                                                         double h) noexcept {
  h = std::fabs(h);
  const Antiderivatives a = antiderivatives(y2, z2, h);
  const Antiderivatives b = antiderivatives(y1, z2, h);
  const Antiderivatives c = antiderivatives(y2, z1, h);
  const Antiderivatives d = antiderivatives(y1, z1, h);
  return {a.one - b.one - c.one + d.one, a.u - b.u - c.u + d.u, a.v - b.v - c.v + d.v,
          a.uv - b.uv - c.uv + d.uv};
}

std::array<double, 8> box_gradient_integrals(const PointSource& source, double x0, double x1,
                                             double y0, double y1, double z0, double z1) noexcept {
  PointTerm terms[2];
  const int count = point_terms(source, terms);
  const double lo[3] = {x0, y0, z0};
  const double hi[3] = {x1, y1, z1};
  std::array<double, 8> a{};
  for (int t = 0; t < count; ++t) {
    const double q[3] = {terms[t].x, terms[t].y, terms[t].z};
    for (int axis = 0; axis < 3; ++axis) {
      // The face's own coordinates: the two other axes, in increasing order.
      const int first = axis == 0 ? 1 : 0;
      const int second = axis == 2 ? 1 : 2;
      const double width = hi[axis] - lo[axis];
      const double w1 = hi[first] - lo[first];
      const double w2 = hi[second] - lo[second];
      const double u1 = lo[first] - q[first], u2 = hi[first] - q[first];
      const double v1 = lo[second] - q[second], v2 = hi[second] - q[second];
      for (int side = 0; side < 2; ++side) {
        const double plane = side ? hi[axis] : lo[axis];
        const std::array<double, 4> moment =
            rectangle_inverse_distance_moments(u1, u2, v1, v2, plane - q[axis]);
        // Outward normal +1 on the high face, -1 on the low one.
        const double normal = side ? 1.0 : -1.0;
        for (int l = 0; l < 8; ++l) {
          const int index[3] = {l & 1, (l >> 1) & 1, (l >> 2) & 1};
          // d(phi)/d(axis) = +-1/width times the two other factors, linear on the face:
          // factor = alpha + beta * u with u from the projection of the point.
          const double slope = (index[axis] ? 1.0 : -1.0) / width;
          const double alpha1 = index[first] ? -u1 / w1 : u2 / w1;
          const double beta1 = index[first] ? 1 / w1 : -1 / w1;
          const double alpha2 = index[second] ? -v1 / w2 : v2 / w2;
          const double beta2 = index[second] ? 1 / w2 : -1 / w2;
          const double integral = alpha1 * alpha2 * moment[0] + beta1 * alpha2 * moment[1] +
                                  alpha1 * beta2 * moment[2] + beta1 * beta2 * moment[3];
          a[static_cast<std::size_t>(l)] += terms[t].strength * normal * slope * integral;
        }
      }
    }
  }
  return a;
}

std::array<double, 8> box_gradient_gauss2(const PointSource& source, double x0, double x1,
                                          double y0, double y1, double z0, double z1) noexcept {
  // Two points per axis; the 24 products of the gradient with the shape functions' factors are
  // summed one axis at a time (sum factorisation).
  constexpr double t0 = 0.21132486540518713, t1 = 0.7886751345948129;
  const double h[3] = {x1 - x0, y1 - y0, z1 - z0};
  const double px[2] = {x0 + t0 * h[0], x0 + t1 * h[0]};
  const double py[2] = {y0 + t0 * h[1], y0 + t1 * h[1]};
  const double pz[2] = {z0 + t0 * h[2], z0 + t1 * h[2]};
  PointTerm terms[2];
  const int count = point_terms(source, terms);
  double g[3][2][2][2];  // component, then point index along x, y, z
  for (int i = 0; i < 2; ++i) {
    for (int j = 0; j < 2; ++j) {
      for (int k = 0; k < 2; ++k) {
        double gx = 0, gy = 0, gz = 0;
        for (int t = 0; t < count; ++t) {
          const double dx = px[i] - terms[t].x, dy = py[j] - terms[t].y, dz = pz[k] - terms[t].z;
          const double r2 = dx * dx + dy * dy + dz * dz;
          const double scale = -terms[t].strength / (r2 * std::sqrt(r2));
          gx += scale * dx;
          gy += scale * dy;
          gz += scale * dz;
        }
        g[0][i][j][k] = gx;
        g[1][i][j][k] = gy;
        g[2][i][j][k] = gz;
      }
    }
  }
  // f[point][corner]: the linear factor of corner 0 or 1 at point 0 or 1 (weights 1/2 each).
  const double f[2][2] = {{t1, t0}, {t0, t1}};
  const double weight = 0.125 * h[0] * h[1] * h[2];
  std::array<double, 8> a{};
  // x term: sum over points of gx f_b(y) f_c(z), times -+1/hx for corner a = 0, 1.
  double sx[2][2] = {}, sy[2][2] = {}, sz[2][2] = {};
  for (int b = 0; b < 2; ++b) {
    for (int c = 0; c < 2; ++c) {
      double x_sum = 0, y_sum = 0, z_sum = 0;
      for (int u = 0; u < 2; ++u) {
        for (int v = 0; v < 2; ++v) {
          x_sum += (g[0][0][u][v] + g[0][1][u][v]) * f[u][b] * f[v][c];
          y_sum += (g[1][u][0][v] + g[1][u][1][v]) * f[u][b] * f[v][c];
          z_sum += (g[2][u][v][0] + g[2][u][v][1]) * f[u][b] * f[v][c];
        }
      }
      sx[b][c] = x_sum * weight / h[0];
      sy[b][c] = y_sum * weight / h[1];
      sz[b][c] = z_sum * weight / h[2];
    }
  }
  for (int l = 0; l < 8; ++l) {
    const int ia = l & 1, ib = (l >> 1) & 1, ic = (l >> 2) & 1;
    a[static_cast<std::size_t>(l)] = (ia ? 1.0 : -1.0) * sx[ib][ic] +
                                     (ib ? 1.0 : -1.0) * sy[ia][ic] +
                                     (ic ? 1.0 : -1.0) * sz[ia][ib];
  }
  return a;
}

std::array<double, 8> box_gradient_gauss(const PointSource& source, double x0, double x1, double y0,
                                         double y1, double z0, double z1, int order) noexcept {
  static constexpr double points2[2] = {0.21132486540518713, 0.7886751345948129};
  static constexpr double weights2[2] = {0.5, 0.5};
  static constexpr double points3[3] = {0.1127016653792583, 0.5, 0.8872983346207417};
  static constexpr double weights3[3] = {5.0 / 18, 8.0 / 18, 5.0 / 18};
  if (order != 3) return box_gradient_gauss2(source, x0, x1, y0, y1, z0, z1);
  const int count = 3;
  const double* points = count == 3 ? points3 : points2;
  const double* weights = count == 3 ? weights3 : weights2;
  const double h[3] = {x1 - x0, y1 - y0, z1 - z0};
  const double volume = h[0] * h[1] * h[2];
  std::array<double, 8> a{};
  for (int i = 0; i < count; ++i) {
    for (int j = 0; j < count; ++j) {
      for (int k = 0; k < count; ++k) {
        const double t[3] = {points[i], points[j], points[k]};
        const double weight = weights[i] * weights[j] * weights[k] * volume;
        const auto g = source.gradient(x0 + t[0] * h[0], y0 + t[1] * h[1], z0 + t[2] * h[2]);
        // The shape functions' factors and derivatives along each axis, corner 0 and corner 1.
        const double f[3][2] = {{1 - t[0], t[0]}, {1 - t[1], t[1]}, {1 - t[2], t[2]}};
        const double gx = weight * g[0] / h[0], gy = weight * g[1] / h[1],
                     gz = weight * g[2] / h[2];
        for (int l = 0; l < 8; ++l) {
          const int a0 = l & 1, b0 = (l >> 1) & 1, c0 = (l >> 2) & 1;
          const double sx = a0 ? 1.0 : -1.0, sy = b0 ? 1.0 : -1.0, sz = c0 ? 1.0 : -1.0;
          a[static_cast<std::size_t>(l)] += gx * sx * f[1][b0] * f[2][c0] +
                                            gy * f[0][a0] * sy * f[2][c0] +
                                            gz * f[0][a0] * f[1][b0] * sz;
        }
      }
    }
  }
  return a;
}

}  // namespace quelby
