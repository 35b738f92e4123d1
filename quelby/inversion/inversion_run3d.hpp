// The inversion of a 3-D survey, from its files or from stores in memory: the 3-D data files (DC,
// and IP on the resistivity found), a 3-D mesh (read, or made for the survey within a cell
// budget), a 3-D topography, a parameter grid apart from the forward mesh and its active cells;
// Gauss-Newton over ln rho with the 3-D model objective, then over the chargeability; every
// iteration's model, the final models (model files and VTK rectilinear grids for ParaView), the
// predicted data and the iteration histories written into an output folder, each file atomically.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"
#include "quelby/forward/forward3d.hpp"
#include "quelby/forward/parameter_grid.hpp"
#include "quelby/forward/parameter_grid3d.hpp"
#include "quelby/inversion/gauss_newton.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/mesh/mesh3d.hpp"
#include "quelby/survey/survey3d.hpp"

namespace quelby {

struct InversionRun3D {
  std::string data_file;        // DC data, a 3-D survey file; "": none
  std::string ip_data_file;     // IP data on the same electrodes; "": none
  std::string mesh_file;        // a 3-D mesh file; "": made for the survey
  std::string topography_file;  // a 3-D topography file; "": flat ground at the first z node
  std::string active_file;      // active cells on the parameter grid; "": every ground cell
  // Cells of the mesh made for the survey (about; 0: 100,000).
  std::int64_t cell_budget = 0;
  // The parameters: the forward mesh's cells, the default grid (cells an electrode spacing wide
  // along x and y, layers from half of it thickening with depth) or a grid of a chosen width.
  ParameterCellChoice parameter_cell{ParameterCellChoice::Kind::automatic, 0};
  std::optional<DataUncertainty> data_uncertainty, ip_uncertainty;
  ModelChoice starting, reference;  // resistivity (automatic: the median apparent resistivity)
  ModelChoice ip_starting, ip_reference;  // chargeability (automatic: 0)
  // Length scales Lx, Ly, Lz in metres (0: four of the grid's smallest cells).
  std::array<double, 3> lengths{0, 0, 0};
  bool ref_in_derivatives = false;
  InversionSettings settings;
  double max_log_change = 3;  // the largest change of ln rho of a parameter in one iteration
  double ip_lower_bound = 0;
  InversionTargets invert = InversionTargets::dc;
  std::string output_folder = ".";
  // Stores given in memory in place of their files.
  std::optional<Mesh3D> mesh;
  std::optional<Survey3D> data, ip_data;
  std::vector<std::int32_t> air_cells;  // per forward column, with `mesh`; empty: flat
  Forward3DOptions forward;
};

struct StageOutcome3D {
  InversionResult result;
  std::vector<double> model;  // one value per grid cell (NaN on cells that are no parameter)
  std::vector<double> dobs, dstd;
};

struct InversionOutcome3D {
  Mesh3D forward_mesh;
  ParameterGrid3D grid;
  std::vector<std::int32_t> air_cells;  // per forward column
  std::vector<std::int32_t> cell_idx;   // per grid cell: 1-based parameter number, 0 none
  Survey3D survey;                      // the DC data (or the IP data's electrodes)
  std::optional<StageOutcome3D> dc, ip;
};

// True when the file's first line is the 3-D survey header (GENERAL_3D).
bool is_survey3d_file(const std::string& file_name);

// Runs the inversions of `run` (messages as run_inversion's: readers' lines, per-iteration reports
// and summaries in io.log, a progress line per iteration and each inversion's stop on the console).
// Holds the output folder for the run, or runs in `held`, a hold of it taken by the caller.
InversionOutcome3D run_inversion3d(const Io& io, const InversionRun3D& run,
                                   const OutputFolder* held = nullptr);

// The 3-D run of a 2-D run's description whose data files are 3-D survey files: its files, output
// folder, error models, models, length scales (Ly taken as Lx), settings and parameter cell.
InversionRun3D run3d_of(const InversionRun& run);

}  // namespace quelby
