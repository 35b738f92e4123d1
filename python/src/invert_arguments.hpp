// What quelby.invert's 2-D and 3-D runs share: the reading of its plain arguments (file names,
// error models, the memory budget, the robust misfit), the histories and the namespace it returns,
// and the output folder with its run log.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "quelby/inversion/gauss_newton.hpp"
#include "quelby/inversion/inversion_run.hpp"
#include "quelby/inversion/output_folder.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace py = pybind11;

// A file name when `value` is a str or an os.PathLike, else nothing.
std::optional<std::string> file_name(py::handle value);

// percent and floor (None: 0) as an error model; nothing when both are None.
std::optional<DataUncertainty> uncertainty(py::handle percent, py::handle floor);

// A numpy array holding a copy of `values`.
py::array_t<double> copy_of(std::span<const double> values);

// The bytes of a memory budget given in MiB (a number, as the command line and the control file
// take it), 0 for None: half the memory available.
std::size_t memory_budget_of(py::handle value);

// robust: True, False, None or a threshold in standard deviations, into `settings`; TypeError or
// ValueError for anything else.
void set_robust(py::handle robust, InversionSettings& settings);

// A types.SimpleNamespace of the fields.
py::object namespace_of(py::dict fields);

// The history dict of a stage: iterations, misfit, norm, beta, target_misfit, ndat, stop,
// data_weights, kept_iteration (0 the starting model).
py::dict history_of(const InversionResult& result, std::size_t ndat);

// A folder of its own under the system's temporary folder, removed with the object.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The output folder of a run and its streams: `out`, or a temporary folder removed afterwards,
// held for the run; without io, and with a folder, the run log is the folder's run.log, as the
// command's (the folder is held first, so that a run never replaces the log of another's).
class RunOutput {
 public:
  RunOutput(py::object out, py::object io);
  ~RunOutput();
  RunOutput(const RunOutput&) = delete;
  RunOutput& operator=(const RunOutput&) = delete;

  const std::string& folder() const { return folder_; }
  const OutputFolder& held() const { return held_; }
  Streams& streams() { return own_streams_ ? *own_streams_ : streams_or_default(io_); }

 private:
  py::object io_;
  std::optional<TemporaryFolder> temporary_;
  std::string folder_;
  OutputFolder held_;
  py::object log_file_ = py::none();
  std::optional<Streams> own_streams_;
};

}  // namespace quelby::python

namespace quelby::python {

// True when quelby.invert is given a 3-D survey: a Mesh3D, a Survey3D, or a 3-D survey file
// (first line GENERAL_3D) as data or ip_data.
bool is_3d_run(py::handle mesh, py::handle data, py::handle ip_data);

// quelby.invert for a 3-D survey (inversion3d.cpp): `arguments` holds every keyword of
// quelby.invert by name.
py::object invert3d(const py::dict& arguments);

}  // namespace quelby::python
