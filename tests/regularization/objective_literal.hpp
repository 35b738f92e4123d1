// The model objective's terms, their sum and their evaluation, step for step as the builder is
// described: fixed-capacity arrays, the scanning sparse products of tests/sparse, a symmetric sum
// that scans every row of C for every output row, the 10-slot row buffer with the literal index
// heapsort, and evaluations through work vectors. Quadratic in npar: small set-ups only. The fast
// builder must match it entry for entry and bit for bit. Indices are 0-based (column -1 for a
// partner cell that is not a parameter).
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quelby/base/fixed_format.hpp"
#include "quelby/regularization/objective.hpp"
#include "quelby/sparse/csr.hpp"
#include "tests/sparse/csr_literal.hpp"

namespace quelby::literal {

struct Objective {
  std::int32_t n_terms = 0;
  std::vector<CsrMatrix> terms;
  CsrMatrix WTW;
  std::vector<std::string> warnings;  // the run-log lines of the diagonal check, without '\n'
  std::optional<std::string> stop;    // the consistency check that stopped the build
};

// The entries of `m` in its first rows as a matrix of exactly that many values and columns.
inline CsrMatrix exact_term(const CsrMatrix& m, std::int32_t npar) {
  CsrMatrix term;
  std::int32_t e = m.row_start[static_cast<std::size_t>(npar)];
  if (e < 1) e = 0;
  term.values.assign(m.values.begin(), m.values.begin() + e);
  term.columns.assign(m.columns.begin(), m.columns.begin() + e);
  term.row_start.assign(m.row_start.begin(), m.row_start.begin() + npar + 1);
  return term;
}

inline std::string e13_5(double value) {
  char field[13];
  format_e13_5_reference(value, field);
  return std::string(field, 13);
}

inline std::string i5(std::int32_t value) {
  std::string digits = std::to_string(value);
  if (digits.size() > 5) return "*****";
  return std::string(5 - digits.size(), ' ') + digits;
}

// Builds the objective or returns with `stop` set at the first failing check.
inline Objective build(const ObjectiveInputs& in) {
  Objective out;
  const Mesh& mesh = in.cells.mesh;
  const std::int32_t nx = mesh.nx;
  const std::int32_t nz = mesh.nz;
  const std::int32_t npar = in.cells.npar;
  const auto at = [&](std::int32_t ix, std::int32_t iz) { return iz * nx + ix; };
  const auto idx = [&](std::int32_t ix, std::int32_t iz) { return in.cells.cell_idx[at(ix, iz)]; };

  // Step 4.
  std::vector<double> WTWs(static_cast<std::size_t>(npar), 0.0);
  std::int32_t icount = 0;
  for (std::int32_t iz = 0; iz < nz; ++iz) {
    for (std::int32_t ix = 0; ix < nx; ++ix) {
      if (idx(ix, iz) == 0) continue;
      if (icount >= npar) {
        out.stop = "icount > size(WTWs)";
        return out;
      }
      const std::int32_t j = in.zone_idx[at(ix, iz)] - 1;
      WTWs[icount] = mesh.dz[iz] * mesh.dx[ix] * in.s_weights[at(ix, iz)] * in.zones.alpha_s[j];
      ++icount;
    }
  }
  // Step 5.
  std::vector<double> Bx(npar, 0.0), Bz(npar, 0.0), Bxz(npar, 0.0);
  icount = 0;
  for (std::int32_t iz = 0; iz < nz; ++iz) {
    for (std::int32_t ix = 0; ix < nx; ++ix) {
      if (idx(ix, iz) == 0) continue;
      if (icount >= npar) {
        out.stop = "icount > size(Bx)";
        return out;
      }
      const std::int32_t j = in.zone_idx[at(ix, iz)] - 1;
      const double t = in.zones.dip[j];
      const double s = std::sin(t);
      const double c = std::cos(t);
      const double a = in.x_weights[at(ix, iz)] * in.zones.alpha_x[j];
      const double b = in.z_weights[at(ix, iz)] * in.zones.alpha_z[j];
      Bx[icount] = a * (c * c) + b * (s * s);
      Bz[icount] = a * (s * s) + b * (c * c);
      Bxz[icount] = s * c * (a - b);
      ++icount;
    }
  }
  // Step 6.
  out.n_terms = 3;
  for (std::int32_t i = 0; i < npar; ++i)
    if (Bxz[i] != 0) out.n_terms = 4;
  out.terms.resize(out.n_terms);
  out.terms[0].values = WTWs;
  for (std::int32_t i = 0; i < npar; ++i) out.terms[0].columns.push_back(i);
  for (std::int32_t i = 0; i <= npar; ++i) out.terms[0].row_start.push_back(i);

  // Step 8: Wx into arrays of 2 npar entries.
  const auto capacity_matrix = [&](std::int32_t entries) {
    CsrMatrix m;
    m.values.assign(entries, 0.0);
    m.columns.assign(entries, 0);
    m.row_start.assign(npar + 1, 0);
    return m;
  };
  CsrMatrix Wx = capacity_matrix(2 * npar);
  {
    std::int32_t irow = 0;
    std::int32_t ndx = 0;
    std::int32_t k = 0;
    for (std::int32_t iz = 0; iz < nz; ++iz) {
      for (std::int32_t ix = 0; ix < nx; ++ix) {
        if (idx(ix, iz) == 0) continue;
        Wx.row_start[irow] = ndx;
        if (ix < nx - 1 && idx(ix + 1, iz) != 0) {
          const double dxc = (mesh.dx[ix] + mesh.dx[ix + 1]) / 2;
          const double v = std::sqrt(mesh.dz[iz] * dxc) / dxc;
          Wx.columns[ndx] = k;
          Wx.values[ndx] = -v;
          Wx.columns[ndx + 1] = k + 1;
          Wx.values[ndx + 1] = v;
          ndx += 2;
        } else if (ix > 0 && idx(ix - 1, iz) != 0) {
          const double dxc = (mesh.dx[ix - 1] + mesh.dx[ix]) / 2;
          const double v = std::sqrt(mesh.dz[iz] * dxc) / dxc;
          Wx.columns[ndx] = k - 1;
          Wx.values[ndx] = -v;
          Wx.columns[ndx + 1] = k;
          Wx.values[ndx + 1] = v;
          ndx += 2;
        } else {
          Wx.columns[ndx] = 0;
          Wx.values[ndx] = 0;
          ndx += 1;
        }
        ++irow;
        ++k;
      }
    }
    if (irow != npar) {
      out.stop = "irow /= npar";
      return out;
    }
    Wx.row_start[npar] = ndx;
  }
  CsrMatrix G = capacity_matrix(3 * npar);
  weighted_gram(Wx, Bx, npar, G);
  out.terms[1] = exact_term(G, npar);

  // Step 9: Wz; with one row of cells there is no partner and the row is the one-entry zero row.
  CsrMatrix Wz = capacity_matrix(2 * npar);
  {
    std::int32_t irow = 0;
    std::int32_t ndz = 0;
    std::int32_t k = 0;
    for (std::int32_t iz = 0; iz < nz; ++iz) {
      for (std::int32_t ix = 0; ix < nx; ++ix) {
        if (idx(ix, iz) == 0) continue;
        Wz.row_start[irow] = ndz;
        if (nz == 1) {
          Wz.columns[ndz] = 0;
          Wz.values[ndz] = 0;
          ndz += 1;
        } else if (iz < nz - 1) {
          const double dzc = (mesh.dz[iz] + mesh.dz[iz + 1]) / 2;
          const double v = std::sqrt(mesh.dx[ix] * dzc) / dzc;
          Wz.columns[ndz] = k;
          Wz.values[ndz] = -v;
          Wz.columns[ndz + 1] = idx(ix, iz + 1) - 1;
          Wz.values[ndz + 1] = v;
          ndz += 2;
        } else {
          const double dzc = (mesh.dz[nz - 2] + mesh.dz[nz - 1]) / 2;
          const double v = std::sqrt(mesh.dx[ix] * dzc) / dzc;
          Wz.columns[ndz] = idx(ix, nz - 2) - 1;
          Wz.values[ndz] = -v;
          Wz.columns[ndz + 1] = k;
          Wz.values[ndz + 1] = v;
          ndz += 2;
        }
        ++irow;
        ++k;
      }
    }
    if (irow != npar) {
      out.stop = "irow /= npar";
      return out;
    }
    Wz.row_start[npar] = ndz;
  }
  // Step 10.
  CsrMatrix C = capacity_matrix(5 * npar);
  if (out.n_terms == 4) scaled_product(Wx, Bxz, Wz, npar, C);
  // Step 11.
  G = capacity_matrix(3 * npar);
  weighted_gram(Wz, Bz, npar, G);
  out.terms[2] = exact_term(G, npar);

  // Step 12: S = C + C^T, scanning every row of C for every output row.
  if (out.n_terms == 4) {
    CsrMatrix S;
    S.row_start.assign(npar + 1, 0);
    std::int32_t p = 0;
    for (std::int32_t r = 0; r < npar; ++r) {
      S.row_start[r] = p;
      for (std::int32_t k = C.row_start[r]; k < C.row_start[r + 1]; ++k) {
        store(S, p, C.columns[k], C.values[k]);
        ++p;
      }
      for (std::int32_t q = 0; q < npar; ++q) {
        for (std::int32_t k = C.row_start[q]; k < C.row_start[q + 1]; ++k) {
          if (C.columns[k] != r) continue;
          const double v = C.values[k];
          bool merged = false;
          for (std::int32_t e = S.row_start[r]; e < p; ++e) {
            if (S.columns[e] == q) {
              S.values[e] += v;
              merged = true;
              break;
            }
          }
          if (!merged) {
            store(S, p, q, v);
            ++p;
          }
          break;
        }
      }
    }
    S.row_start[npar] = p;
    out.terms[3] = exact_term(S, npar);
  }

  // Step 13.
  std::int32_t capacity = 0;
  for (const CsrMatrix& term : out.terms) capacity += std::max(term.row_start[npar], 0);
  CsrMatrix& WTW = out.WTW;
  WTW.row_start.assign(npar + 1, 0);
  std::int32_t ipt = 0;
  for (std::int32_t i = 0; i < npar; ++i) {
    std::vector<std::int32_t> columns(10, 0);
    std::vector<double> values(10, 0.0);
    std::int32_t icnt = 1;
    columns[0] = i;
    values[0] = out.terms[0].values[i];
    for (std::int32_t t = 1; t < out.n_terms; ++t) {
      const CsrMatrix& term = out.terms[t];
      for (std::int32_t k = term.row_start[i]; k < term.row_start[i + 1]; ++k) {
        bool found = false;
        for (std::int32_t slot = 0; slot < icnt; ++slot) {
          if (columns[slot] == term.columns[k]) {
            values[slot] += term.values[k];
            found = true;
            break;
          }
        }
        if (found) continue;
        if (icnt == 10) {
          out.stop = "icnt > size(row)";
          return out;
        }
        columns[icnt] = term.columns[k];
        values[icnt] = term.values[k];
        ++icnt;
      }
    }
    std::vector<std::int32_t> order(icnt);
    index_heapsort(std::span<const std::int32_t>(columns.data(), icnt), order);
    WTW.row_start[i] = ipt;
    for (std::int32_t slot = 0; slot < icnt; ++slot) {
      if (ipt >= capacity) {
        out.stop = "ipt > size(WTW)";
        return out;
      }
      store(WTW, ipt, columns[order[slot]], values[order[slot]]);
      ++ipt;
    }
  }
  WTW.row_start[npar] = ipt;
  WTW.values.resize(ipt);
  WTW.columns.resize(ipt);

  // Step 14.
  for (std::int32_t i = 0; i < npar; ++i) {
    bool found = false;
    double D = 0;
    double S = 0;
    for (std::int32_t k = WTW.row_start[i]; k < WTW.row_start[i + 1]; ++k) {
      if (WTW.columns[k] == i && !found) {
        found = true;
        D = std::abs(WTW.values[k]);
      } else {
        S += std::abs(WTW.values[k]);
      }
    }
    if (!found || D == 0)
      out.warnings.push_back("  warning: no diagonal element in row : " + std::to_string(i + 1));
    if (S >= D)
      out.warnings.push_back(" Warning: not diag-dominant: i,sum_j{aij},aii" + i5(i + 1) +
                             e13_5(S) + e13_5(D));
  }
  return out;
}

inline std::vector<double> multiply(const CsrMatrix& a, const std::vector<double>& x) {
  std::vector<double> y(x.size());
  for (std::size_t i = 0; i < y.size(); ++i) {
    double sum = 0;
    for (std::int32_t k = a.row_start[i]; k < a.row_start[i + 1]; ++k)
      sum += a.values[k] * x[a.columns[k]];
    y[i] = sum;
  }
  return y;
}

inline double dot(const std::vector<double>& a, const std::vector<double>& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

inline std::vector<double> wtw_times_model(const Objective& o, bool ref_in_derivatives,
                                           const std::vector<double>& m,
                                           const std::vector<double>& m_ref) {
  std::vector<double> d(m.size());
  for (std::size_t i = 0; i < m.size(); ++i) d[i] = m[i] - m_ref[i];
  if (ref_in_derivatives) return multiply(o.WTW, d);
  std::vector<double> g = multiply(o.terms[0], d);
  for (std::int32_t k = 1; k < o.n_terms; ++k) {
    const std::vector<double> t = multiply(o.terms[k], m);
    for (std::size_t i = 0; i < g.size(); ++i) g[i] = g[i] + t[i];
  }
  return g;
}

inline std::vector<double> term_norms(const Objective& o, bool ref_in_derivatives,
                                      const std::vector<double>& m,
                                      const std::vector<double>& m_ref) {
  std::vector<double> d(m.size());
  for (std::size_t i = 0; i < m.size(); ++i) d[i] = m[i] - m_ref[i];
  std::vector<double> phi(4, 0.0);
  for (std::int32_t k = 0; k < o.n_terms; ++k) {
    const std::vector<double>& u = (k == 0 || ref_in_derivatives) ? d : m;
    phi[k] = dot(u, multiply(o.terms[k], u));
  }
  return phi;
}

}  // namespace quelby::literal
