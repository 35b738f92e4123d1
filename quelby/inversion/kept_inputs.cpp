#include "quelby/inversion/kept_inputs.hpp"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/stops.hpp"

namespace quelby {

namespace fs = std::filesystem;

bool is_kept_already(const std::string& source, const std::string& folder,
                     const std::string& name) {
  if (source.empty()) return true;
  std::error_code error;
  const fs::path target = fs::path(folder) / name;
  if (!fs::is_regular_file(source, error)) return true;
  return fs::exists(target, error) && fs::equivalent(source, target, error);
}

void keep_file_copy(const Io& io, const std::string& source, const std::string& folder,
                    const std::string& name) {
  if (is_kept_already(source, folder, name)) return;
  std::ifstream input(source, std::ios::binary);
  if (!input) return;
  const std::string text((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
  if (input.bad()) return;
  const std::string target = (fs::path(folder) / name).string();
  AtomicOutput output(target);
  int error = output.create();
  if (error == 0) error = output.write(text.data(), text.size());
  if (error == 0) error = output.commit();
  if (error != 0) write_failed(io, "copy of the input", target, error);
}

std::string import_log_beside(const std::string& data_file) {
  if (data_file.empty()) return "";
  const fs::path log = fs::path(data_file).parent_path() / "import.log";
  std::error_code error;
  return fs::is_regular_file(log, error) ? log.string() : "";
}

}  // namespace quelby
