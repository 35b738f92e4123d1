#include "invert_arguments.hpp"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "quelby/inversion/robust_misfit.hpp"

namespace quelby::python {

std::optional<std::string> file_name(py::handle value) {
  if (!py::isinstance<py::str>(value) && !py::hasattr(value, "__fspath__")) return std::nullopt;
  return value.cast<FileName>().text;
}

std::optional<DataUncertainty> uncertainty(py::handle percent, py::handle floor) {
  if (percent.is_none() && floor.is_none()) return std::nullopt;
  return DataUncertainty{percent.is_none() ? 0.0 : percent.cast<double>(),
                         floor.is_none() ? 0.0 : floor.cast<double>()};
}

py::array_t<double> copy_of(std::span<const double> values) {
  return take(std::vector<double>(values.begin(), values.end()));
}

std::size_t memory_budget_of(py::handle value) {
  const std::string expected = "memory_budget: None or " + memory_budget_range();
  if (value.is_none()) return 0;
  if (py::isinstance<py::bool_>(value) ||
      (!py::isinstance<py::float_>(value) && !py::isinstance<py::int_>(value))) {
    throw py::type_error(expected);
  }
  double mib = 0;
  try {
    mib = py::float_(py::reinterpret_borrow<py::object>(value));
  } catch (const py::error_already_set&) {  // an int too large for a float
    throw py::value_error(expected);
  }
  const std::optional<std::size_t> bytes = memory_budget_bytes(mib);
  if (!bytes) throw py::value_error(expected);
  return *bytes;
}

void set_robust(py::handle robust, InversionSettings& settings) {
  const std::string expected = "robust: True, False or a threshold " + robust_threshold_range();
  if (py::isinstance<py::bool_>(robust)) {
    settings.robust = robust.cast<bool>();
  } else if (!robust.is_none()) {
    if (!py::isinstance<py::float_>(robust) && !py::isinstance<py::int_>(robust))
      throw py::type_error(expected);
    const double threshold = robust.cast<double>();
    if (!sound_robust_threshold(threshold)) throw py::value_error(expected);
    settings.robust = true;
    settings.robust_threshold = threshold;
  }
}

py::object namespace_of(py::dict fields) {
  return py::module_::import("types").attr("SimpleNamespace")(**fields);
}

py::dict history_of(const InversionResult& result, std::size_t ndat) {
  py::dict history;
  std::vector<std::int32_t> iterations(result.misfit_history.size());
  for (std::size_t i = 0; i < iterations.size(); ++i) iterations[i] = static_cast<int>(i);
  history["iterations"] = take(std::move(iterations));
  history["misfit"] = copy_of(result.misfit_history);
  history["norm"] = copy_of(result.norm_history);
  history["beta"] = copy_of(result.beta_history);
  history["target_misfit"] = result.target_misfit;
  history["ndat"] = static_cast<std::int32_t>(ndat);
  history["stop"] = std::string(stop_reason_text(result.stop));
  history["data_weights"] = copy_of(result.data_weights);
  history["kept_iteration"] = result.kept_iteration;
  return history;
}

TemporaryFolder::TemporaryFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "quelby-invert-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "cannot make a temporary folder");
  }
  path_ = pattern;
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

RunOutput::RunOutput(py::object out, py::object io) : io_(std::move(io)) {
  if (out.is_none()) {
    temporary_.emplace();
    folder_ = temporary_->path();
  } else {
    folder_ = out.cast<FileName>().text;
  }
  with_streams(streams_or_default(io_),
               [&](const Io& streams_io) { held_ = hold_output_folder(streams_io, folder_); });
  if (!out.is_none() && io_.is_none()) {
    log_file_ = py::module_::import("builtins").attr("open")(folder_ + "/run.log", "w");
    own_streams_.emplace(py::none(), py::none(), log_file_);
  }
}

RunOutput::~RunOutput() {
  // The log file is closed after the streams that write to it are gone.
  own_streams_.reset();
  if (!log_file_.is_none()) {
    try {
      log_file_.attr("close")();
    } catch (const py::error_already_set&) {
    }
  }
}

}  // namespace quelby::python
