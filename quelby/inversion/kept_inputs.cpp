#include "quelby/inversion/kept_inputs.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/report/run_folder.hpp"

namespace quelby {

namespace fs = std::filesystem;

namespace {

void write_atomically(const Io& io, const std::string& target, const std::string& text,
                      const char* what) {
  AtomicOutput output(target);
  int error = output.create();
  if (error == 0) error = output.write(text.data(), text.size());
  if (error == 0) error = output.commit();
  if (error != 0) write_failed(io, what, target, error);
}

// The lines the run folder keeps under names of its own, which a rerun names by its options.
bool kept_by_the_folder(const std::string& label) {
  return label == "mesh" || label == "data" || label == "IP data" || label == "topography";
}

}  // namespace

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
  std::string text;
  if (!read_whole_file(source, text)) return;
  write_atomically(io, (fs::path(folder) / name).string(), text, "copy of the input");
}

void keep_control_inputs(const Io& io, const std::string& control,
                         const std::vector<ControlInputName>& inputs, const std::string& folder) {
  std::vector<const ControlInputName*> others;
  for (const ControlInputName& input : inputs) {
    if (!kept_by_the_folder(input.label)) others.push_back(&input);
  }
  std::string text;
  if (others.empty() || !read_whole_file(control, text)) return;
  // The start of every line (1-based numbers: starts[k - 1] is line k's).
  std::vector<std::size_t> starts{0};
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n') starts.push_back(i + 1);
  }
  const auto line_end = [&](std::size_t k) {
    return k < starts.size() ? starts[k] - 1 : text.size();
  };
  for (const ControlInputName* input : others) {
    const std::size_t k = static_cast<std::size_t>(input->line);
    if (k == 0 || k > starts.size()) return;
    const std::size_t at = starts[k - 1] + input->column;
    if (at + input->name.size() > line_end(k) || text.compare(at, input->name.size(), input->name))
      return;
  }
  // Each file's copy: its own name, unless another file took it first.
  std::map<std::string, std::string> copy_of;
  std::set<std::string> taken;
  for (const ControlInputName* input : others) {
    if (copy_of.contains(input->name)) continue;
    const std::string base = fs::path(input->name).filename().string();
    std::string name = base;
    for (int k = 2; taken.contains(name); ++k) name = std::to_string(k) + "-" + base;
    taken.insert(name);
    copy_of[input->name] = name;
  }
  const fs::path copies = fs::path(folder) / kept_inputs_folder;
  std::error_code error;
  fs::create_directories(copies, error);
  if (error) write_failed(io, "folder of the input copies", copies.string(), error.value());
  for (const auto& [source, name] : copy_of) {
    std::string data;
    if (!read_whole_file(source, data)) return;
    write_atomically(io, (copies / name).string(), data, "copy of the input");
  }
  // The names replaced from the end of the text backwards, so that the positions before hold.
  std::sort(others.begin(), others.end(), [](const auto* a, const auto* b) {
    return std::pair(a->line, a->column) > std::pair(b->line, b->column);
  });
  for (const ControlInputName* input : others) {
    const std::size_t at = starts[static_cast<std::size_t>(input->line) - 1] + input->column;
    text.replace(at, input->name.size(),
                 std::string(kept_inputs_folder) + "/" + copy_of[input->name]);
  }
  write_atomically(io, (fs::path(folder) / rerun_control_name).string(), text,
                   "control file of the rerun");
}

std::string import_log_beside(const std::string& data_file) {
  if (data_file.empty()) return "";
  const fs::path log = fs::path(data_file).parent_path() / "import.log";
  std::error_code error;
  return fs::is_regular_file(log, error) ? log.string() : "";
}

}  // namespace quelby
