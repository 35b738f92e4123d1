// Pickling of the stores (Mesh, Topography, SurveyData, ActiveCells and the 3-D Mesh3D, Survey3D,
// Topography3D), field by field, so that runs
// and their results cross to other processes (Dask's workers, multiprocessing) and come back as
// the same bits.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "quelby/cells/active_cells.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/mesh/topography.hpp"
#include "quelby/mesh/topography3d.hpp"
#include "quelby/survey/survey3d.hpp"
#include "quelby/survey/survey_data.hpp"

namespace quelby::python {

namespace {

// Reads the fields of a state tuple in order; a tuple of another length is another layout.
class StateReader {
 public:
  StateReader(const py::tuple& state, const char* type) : state_(state), type_(type) {}
  template <typename... T>
  void operator()(T&... fields) {
    if (state_.size() != sizeof...(T)) {
      throw std::runtime_error(std::string("a pickled ") + type_ + " of another layout");
    }
    (read(fields), ...);
  }

 private:
  template <typename T>
  void read(T& field) {
    field = state_[next_++].cast<T>();
  }

  const py::tuple& state_;
  const char* type_;
  std::size_t next_ = 0;
};

template <typename T, typename Get, typename Set>
void add_pickling(py::module_& module, const char* name, Get get, Set set) {
  auto type = py::reinterpret_borrow<py::class_<T>>(module.attr(name));
  type.def(py::pickle(get, set));
}

// The electrodes of a 3-D survey as x, y, z triples in one vector, and back.
std::vector<double> flat_positions(const std::vector<ElectrodePosition>& electrodes) {
  std::vector<double> flat;
  flat.reserve(3 * electrodes.size());
  for (const ElectrodePosition& e : electrodes) flat.insert(flat.end(), {e.x, e.y, e.z});
  return flat;
}

std::vector<ElectrodePosition> positions_of(const std::vector<double>& flat) {
  if (flat.size() % 3 != 0) throw std::runtime_error("a pickled Survey3D of another layout");
  std::vector<ElectrodePosition> electrodes(flat.size() / 3);
  for (std::size_t e = 0; e < electrodes.size(); ++e) {
    electrodes[e] = {flat[3 * e], flat[3 * e + 1], flat[3 * e + 2]};
  }
  return electrodes;
}

}  // namespace

void bind_pickling(py::module_& module) {
  add_pickling<Mesh>(
      module, "Mesh",
      [](const Mesh& m) {
        return py::make_tuple(m.nx, m.nz, m.x_nodes, m.z_nodes, m.dx, m.dz, m.x_centres,
                              m.z_centres, m.x_mid, m.z_first, m.node_count,
                              m.z_node_count_plus_one);
      },
      [](const py::tuple& state) {
        Mesh m;
        StateReader read(state, "Mesh");
        read(m.nx, m.nz, m.x_nodes, m.z_nodes, m.dx, m.dz, m.x_centres, m.z_centres, m.x_mid,
             m.z_first, m.node_count, m.z_node_count_plus_one);
        return m;
      });
  add_pickling<Topography>(
      module, "Topography",
      [](const Topography& t) {
        return py::make_tuple(t.has_topography, t.air_cells, t.surface_z, t.reference_elevation);
      },
      [](const py::tuple& state) {
        Topography t;
        StateReader read(state, "Topography");
        read(t.has_topography, t.air_cells, t.surface_z, t.reference_elevation);
        return t;
      });
  add_pickling<ActiveCells>(
      module, "ActiveCells",
      [](const ActiveCells& c) {
        return py::make_tuple(c.nx, c.nz, c.cell_idx, c.npar, c.ninfl, c.ninact, c.ncell,
                              c.air_cells, c.cell_idx_save, c.npar_save, c.all_active, c.inact_val,
                              c.infl_val);
      },
      [](const py::tuple& state) {
        ActiveCells c;
        StateReader read(state, "ActiveCells");
        read(c.nx, c.nz, c.cell_idx, c.npar, c.ninfl, c.ninact, c.ncell, c.air_cells,
             c.cell_idx_save, c.npar_save, c.all_active, c.inact_val, c.infl_val);
        return c;
      });
  add_pickling<SurveyData>(
      module, "SurveyData",
      [](const SurveyData& s) {
        const py::tuple flags = py::make_tuple(
            s.ndat, s.ncur, s.use_z, s.common_current, s.std_missing, s.dstd_read, s.has_values,
            s.has_z, s.has_file_order, s.sep_max, s.sep_min, s.sep_mean, s.header_line);
        const py::tuple arrays = py::make_tuple(
            s.xa_cur, s.xb_cur, s.za_cur, s.zb_cur, s.ndat_cur, s.xm, s.xn, s.zm, s.zn, s.iptype,
            s.dobs, s.dstd, s.idat_idx, s.xa_file, s.xb_file, s.xm_file, s.xn_file, s.sorted_pos);
        return py::make_tuple(flags, arrays);
      },
      [](const py::tuple& state) {
        SurveyData s;
        StateReader halves(state, "SurveyData");
        py::tuple flags, arrays;
        halves(flags, arrays);
        StateReader read(flags, "SurveyData");
        read(s.ndat, s.ncur, s.use_z, s.common_current, s.std_missing, s.dstd_read, s.has_values,
             s.has_z, s.has_file_order, s.sep_max, s.sep_min, s.sep_mean, s.header_line);
        StateReader array(arrays, "SurveyData");
        array(s.xa_cur, s.xb_cur, s.za_cur, s.zb_cur, s.ndat_cur, s.xm, s.xn, s.zm, s.zn, s.iptype,
              s.dobs, s.dstd, s.idat_idx, s.xa_file, s.xb_file, s.xm_file, s.xn_file, s.sorted_pos);
        return s;
      });
  add_pickling<Mesh3D>(
      module, "Mesh3D",
      [](const Mesh3D& m) {
        return py::make_tuple(m.nx, m.ny, m.nz, m.x_nodes, m.y_nodes, m.z_nodes, m.dx, m.dy, m.dz,
                              m.x_centres, m.y_centres, m.z_centres);
      },
      [](const py::tuple& state) {
        Mesh3D m;
        StateReader read(state, "Mesh3D");
        read(m.nx, m.ny, m.nz, m.x_nodes, m.y_nodes, m.z_nodes, m.dx, m.dy, m.dz, m.x_centres,
             m.y_centres, m.z_centres);
        return m;
      });
  add_pickling<Survey3D>(
      module, "Survey3D",
      [](const Survey3D& s) {
        return py::make_tuple(s.ndat, flat_positions(s.electrodes), s.a, s.b, s.m, s.n, s.iptype,
                              s.has_values, s.std_missing, s.dobs, s.dstd, s.header_line);
      },
      [](const py::tuple& state) {
        Survey3D s;
        std::vector<double> positions;
        StateReader read(state, "Survey3D");
        read(s.ndat, positions, s.a, s.b, s.m, s.n, s.iptype, s.has_values, s.std_missing, s.dobs,
             s.dstd, s.header_line);
        s.electrodes = positions_of(positions);
        return s;
      });
  add_pickling<Topography3D>(
      module, "Topography3D",
      [](const Topography3D& t) {
        return py::make_tuple(t.has_topography, t.reference_elevation, t.x, t.y, t.elevation,
                              t.is_grid, t.grid_x, t.grid_y, t.grid_elevation, t.flat_z);
      },
      [](const py::tuple& state) {
        Topography3D t;
        StateReader read(state, "Topography3D");
        read(t.has_topography, t.reference_elevation, t.x, t.y, t.elevation, t.is_grid, t.grid_x,
             t.grid_y, t.grid_elevation, t.flat_z);
        return t;
      });
}

}  // namespace quelby::python
