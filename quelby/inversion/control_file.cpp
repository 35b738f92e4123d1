#include "quelby/inversion/control_file.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "quelby/base/control_input.hpp"
#include "quelby/base/free_format.hpp"
#include "quelby/base/read_detail.hpp"
#include "quelby/base/reader_frame.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/inversion/gauss_newton.hpp"
#include "quelby/inversion/inversion_inputs.hpp"
#include "quelby/inversion/robust_misfit.hpp"

namespace quelby {
namespace {

constexpr std::size_t line_length = 500;
constexpr double unset = std::numeric_limits<double>::quiet_NaN();

bool same_word(std::string_view word, std::string_view keyword) {
  if (word.size() != keyword.size()) return false;
  for (std::size_t k = 0; k < word.size(); ++k) {
    const char c =
        word[k] >= 'A' && word[k] <= 'Z' ? static_cast<char>(word[k] - 'A' + 'a') : word[k];
    if (c != keyword[k]) return false;
  }
  return true;
}

std::string_view trim_leading_blanks(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size() && is_blank(text[begin])) ++begin;
  return text.substr(begin);
}

// The words of `text`, separated by blanks.
std::vector<std::string_view> words_of(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t at = 0;
  while (at < text.size()) {
    while (at < text.size() && is_blank(text[at])) ++at;
    const std::size_t begin = at;
    while (at < text.size() && !is_blank(text[at])) ++at;
    if (at > begin) words.push_back(text.substr(begin, at - begin));
  }
  return words;
}

// True when the first word of `text` is a number (a value, r*v, or either followed by one comma or
// slash): the line then holds a value. Any other first word names a file, an absolute path (which
// begins with a slash) or a path through a folder named by digits among them.
bool starts_with_number(std::string_view text) {
  std::size_t end = 0;
  while (end < text.size() && !is_blank(text[end])) ++end;
  std::string_view word = text.substr(0, end);
  if (!word.empty() && (word.back() == ',' || word.back() == '/')) word.remove_suffix(1);
  double value = 0;
  if (parse_real(word, value) == ReadErrorKind::none) return true;
  const std::size_t star = word.find('*');
  std::int32_t count = 0;
  return star != word.npos && parse_integer(word.substr(0, star), count) == ReadErrorKind::none &&
         count > 0 && parse_real(word.substr(star + 1), value) == ReadErrorKind::none;
}

// `text` after its first word, without the blanks around it.
std::string_view after_first_word(std::string_view text) {
  text = trim_leading_blanks(text);
  std::size_t at = 0;
  while (at < text.size() && !is_blank(text[at])) ++at;
  return trim_leading_blanks(text.substr(at));
}

// The reader of one control file: each line kind is one method, called in the file's order.
class ControlReader {
 public:
  ControlReader(const Io& io, std::string_view name) : io_(io), name_(trim_trailing_blanks(name)) {
    open_or_require(io, file_, "control", name_);
  }

  // The next line that holds an item, without its comment and its surrounding blanks; false at
  // the end of the file.
  bool next() {
    for (;;) {
      if (!next_data_line(file_, line_, &line_number_)) return false;
      strip_comment(line_);
      text_ = trim_leading_blanks(line_.trimmed());
      if (!text_.empty()) return true;
    }
  }

  // The next line, which must be there; `what` says what it holds.
  std::string_view require(std::string_view what) {
    if (!next()) {
      stop_with(io_, Order::console_then_log,
                message("expected " + std::string(what) + ", found the end of the file"),
                exit_failure,
                line_detail(name_, 0, "the file ends before line " + std::to_string(line_number_)));
    }
    return text_;
  }

  [[noreturn]] void fail(std::string_view what) const {
    stop_with(io_, Order::console_then_log, message(what), exit_failure,
              line_detail(name_, static_cast<std::size_t>(line_number_),
                          "found " + quoted_text(text_, line_length)));
  }

  // A file that must exist, named by the whole of `text`.
  std::string existing_file(std::string_view label, std::string_view text) {
    LineBuffer name(line_length);
    bool found = false;
    read_input_file_name(io_, label, text, name, found);
    if (!found) fail("the " + std::string(label) + " file does not exist");
    const std::string_view line = line_.text();
    if (inputs_ != nullptr && text.data() >= line.data() &&
        text.data() + text.size() <= line.data() + line.size()) {
      inputs_->push_back({line_number_, static_cast<std::size_t>(text.data() - line.data()),
                          std::string(text), std::string(label)});
    }
    return std::string(name.trimmed());
  }

  // FILE, or "none" (an empty name) when `none_allowed`.
  std::string file_or_none(std::string_view label, bool none_allowed) {
    const std::string_view text =
        require("the " + std::string(label) + " file" + (none_allowed ? " or none" : ""));
    if (none_allowed && same_word(text, "none")) return {};
    return existing_file(label, text);
  }

  // "default", a value (a line whose first word is a number) or a model file. A resistivity is
  // positive; a chargeability is 0 or more and at most largest_magnitude.
  ModelChoice model_choice(std::string_view text, std::string_view label, bool resistivity) {
    if (same_word(text, "default")) return ModelChoice::automatic();
    if (!starts_with_number(text)) return ModelChoice::model_file(existing_file(label, text));
    double value = unset;
    const bool read = read_text(text, {value}).ok();
    if (!read || !std::isfinite(value) ||
        (resistivity ? !(value > 0) : !(value >= 0 && value <= largest_magnitude))) {
      fail("expected the " + std::string(label) + ": " +
           (resistivity ? std::string("a positive value")
                        : "a value from 0 to " + shortest(largest_magnitude)) +
           ", a model file or default");
    }
    return ModelChoice::uniform(value);
  }

  // "default" or 0; 2 a_s a_x a_z; 3 Lx Lz.
  AlphaChoice alpha(std::string_view text) {
    constexpr std::string_view expected =
        "expected the alpha mode: default, 0, 2 a_s a_x a_z (a_s > 0, a_x, a_z >= 0) or 3 Lx Lz "
        "(both > 0)";
    AlphaChoice choice;
    if (same_word(text, "default")) return choice;
    if (!read_text(text, {choice.mode}).ok()) fail(expected);
    if (choice.mode == 0) return choice;
    std::int32_t mode = 0;
    double a = unset, b = unset, c = unset;
    if (choice.mode == 2) {
      if (!read_text(text, {mode, a, b, c}).ok() || !std::isfinite(a) || !std::isfinite(b) ||
          !std::isfinite(c) || !(a > 0) || b < 0 || c < 0) {
        fail(expected);
      }
      choice.alpha = {a, b, c};
      return choice;
    }
    if (choice.mode == 3) {
      if (!read_text(text, {mode, a, b}).ok() || !std::isfinite(a) || !std::isfinite(b) ||
          !(a > 0) || !(b > 0)) {
        fail(expected);
      }
      choice.lengths = {a, b};
      return choice;
    }
    fail(expected);
  }

  // "none" or 0; 1 FILE; 2 SFILE XFILE ZFILE.
  WeightSource weights() {
    constexpr std::string_view expected =
        "expected the weight input: none, 0, 1 and a weighting file, or 2 and three weight files";
    const std::string_view text = require("the weight input");
    if (same_word(text, "none")) return WeightSource::ones();
    const std::vector<std::string_view> words = words_of(text);
    std::int32_t input = -1;
    if (parse_integer(words[0], input) != ReadErrorKind::none) fail(expected);
    if (input == 0 && words.size() == 1) return WeightSource::ones();
    if (input == 1 && words.size() >= 2) {
      return WeightSource::weighting_file(existing_file("weighting", after_first_word(text)));
    }
    if (input == 2 && words.size() == 4) {
      std::string s_file = existing_file("S weights", words[1]);
      std::string x_file = existing_file("X weights", words[2]);
      std::string z_file = existing_file("Z weights", words[3]);
      return WeightSource::array_files(std::move(s_file), std::move(x_file), std::move(z_file));
    }
    fail(expected);
  }

  // "none" or 0; 1 FILE.
  DipSource dipping() {
    constexpr std::string_view expected =
        "expected the dipping option: none, 0, or 1 and a dipping file";
    const std::string_view text = require("the dipping option");
    if (same_word(text, "none")) return DipSource::none();
    const std::vector<std::string_view> words = words_of(text);
    std::int32_t option = -1;
    if (parse_integer(words[0], option) != ReadErrorKind::none) fail(expected);
    if (option == 0 && words.size() == 1) return DipSource::none();
    if (option == 1 && words.size() >= 2) {
      return DipSource::file(existing_file("dipping", after_first_word(text)));
    }
    fail(expected);
  }

  double chifact() {
    const std::string_view text = require("chifact");
    if (same_word(text, "default")) return InversionSettings{}.chifact;
    double value = unset;
    if (!read_text(text, {value}).ok() || !std::isfinite(value) || !(value > 0)) {
      fail("expected chifact: a positive value or default");
    }
    return value;
  }

  std::int32_t iteration_limit() {
    const std::string_view text = require("the iteration limit");
    if (same_word(text, "default")) return InversionSettings{}.max_iterations;
    std::int32_t value = -1;
    if (!read_text(text, {value}).ok() || value < 0) {
      fail("expected the iteration limit: an integer of 0 or more, or default");
    }
    return value;
  }

  InversionTargets targets() {
    const std::string_view text = require("what to invert");
    if (same_word(text, "dc") || same_word(text, "default")) return InversionTargets::dc;
    if (same_word(text, "ip")) return InversionTargets::ip;
    if (same_word(text, "both")) return InversionTargets::both;
    fail("expected what to invert: DC, IP, both or default");
  }

  std::string output_folder() {
    const std::string_view text = require("the output folder");
    if (same_word(text, "default")) return ".";
    return std::string(text);
  }

  // PERCENT FLOOR: both 0 or more, not both 0.
  DataUncertainty uncertainty(std::string_view keyword, std::string_view text) {
    double percent = unset, floor = unset;
    if (!read_text(text, {percent, floor}).ok() || !std::isfinite(percent) ||
        !std::isfinite(floor) || percent < 0 || floor < 0 || (percent == 0 && floor == 0)) {
      fail("expected " + std::string(keyword) +
           " PERCENT FLOOR: two values of 0 or more, not both 0");
    }
    return {percent, floor};
  }

  // VALUE ...: `count` finite values, each checked by `valid`; `expected` says what is wanted.
  template <typename Valid>
  std::vector<double> values(std::string_view text, std::size_t count, Valid&& valid,
                             std::string_view expected) {
    const std::vector<std::string_view> words = words_of(text);
    std::vector<double> result(count, unset);
    bool good = words.size() == count;
    for (std::size_t k = 0; good && k < count; ++k) {
      good = read_text(words[k], {result[k]}).ok() && std::isfinite(result[k]) && valid(result[k]);
    }
    if (!good) fail(std::string("expected ") + std::string(expected));
    return result;
  }

  const std::string& name() const { return name_; }
  std::string_view text() const { return text_; }

  // Where the input files named are recorded (none: not recorded).
  void record_inputs(std::vector<ControlInputName>* inputs) { inputs_ = inputs; }

 private:
  std::string message(std::string_view what) const {
    std::string text = "\nError: control file ";
    text += name_;
    text += ", line ";
    text += std::to_string(line_number_);
    text += ": ";
    text += what;
    text += '\n';
    return text;
  }

  const Io& io_;
  std::string name_;
  std::vector<ControlInputName>* inputs_ = nullptr;
  InputFile file_;
  LineBuffer line_{line_length};
  std::string_view text_;
  std::int32_t line_number_ = 0;
};

// "difference", or "ratio" and optionally the homogeneous model's resistivity (> 0).
void read_timelapse_method(ControlReader& reader, std::string_view text,
                           TimelapseControl& timelapse) {
  constexpr std::string_view expected =
      "expected timelapse_method difference, or ratio and optionally a positive resistivity";
  const std::vector<std::string_view> words = words_of(text);
  if (words.size() == 1 && same_word(words[0], "difference")) {
    timelapse.method = TimelapseMethod::difference;
    return;
  }
  if (words.empty() || !same_word(words[0], "ratio") || words.size() > 2) reader.fail(expected);
  timelapse.method = TimelapseMethod::ratio;
  if (words.size() == 1) return;
  double value = unset;
  if (!read_text(words[1], {value}).ok() || !std::isfinite(value) || !(value > 0)) {
    reader.fail(expected);
  }
  timelapse.homogeneous = value;
}

// What a line that is no keyword line gets: the keywords the reader takes.
std::string unknown_keyword_text(bool timelapse, bool doi) {
  std::vector<std::string_view> keywords = {
      "data_std", "ip_std", "ip_starting",        "ip_reference",   "ip_alpha",     "robust",
      "blocky",   "use_z",  "resistivity_bounds", "max_log_change", "memory_budget",
      "parameter_cell", "parameters", "ip_lower_bound", "report"};
  if (timelapse) keywords.insert(keywords.end(), {"timelapse_step", "timelapse_method"});
  if (doi) keywords.insert(keywords.end(), {"doi", "doi_factor"});
  std::string text = "expected the end of the file or a keyword line: ";
  for (std::size_t k = 0; k < keywords.size(); ++k) {
    if (k > 0) text += k + 1 == keywords.size() ? " or " : ", ";
    text += keywords[k];
  }
  return text;
}

// The optional keyword lines after the output folder, each at most once but timelapse_step.
void read_keyword_lines(ControlReader& reader, InversionRun& run, TimelapseControl* timelapse,
                        DoiControl* doi) {
  std::vector<std::string> seen;
  while (reader.next()) {
    const std::string_view text = reader.text();
    const std::vector<std::string_view> words = words_of(text);
    const std::string keyword(words[0]);
    const std::string_view rest = after_first_word(text);
    const auto needs_value = [&] {
      if (rest.empty()) reader.fail("expected a value after " + keyword);
    };
    for (const std::string& previous : seen) {
      if (same_word(keyword, previous)) reader.fail(previous + " is given twice");
    }
    if (same_word(keyword, "data_std")) {
      run.data_uncertainty = reader.uncertainty("data_std", rest);
    } else if (same_word(keyword, "ip_std")) {
      run.ip_uncertainty = reader.uncertainty("ip_std", rest);
    } else if (same_word(keyword, "ip_starting")) {
      needs_value();
      run.ip_starting = reader.model_choice(rest, "starting chargeability", false);
    } else if (same_word(keyword, "ip_reference")) {
      needs_value();
      run.ip_reference = reader.model_choice(rest, "reference chargeability", false);
    } else if (same_word(keyword, "ip_alpha")) {
      needs_value();
      run.ip_alpha = reader.alpha(rest);
    } else if (same_word(keyword, "robust")) {
      run.settings.robust = true;
      if (!rest.empty()) {
        run.settings.robust_threshold = reader.values(
            rest, 1, [](double v) { return sound_robust_threshold(v); },
            "robust, or robust THRESHOLD: a threshold " + robust_threshold_range())[0];
      }
    } else if (same_word(keyword, "blocky")) {
      if (!rest.empty()) reader.fail("expected blocky alone");
      run.settings.blocky = true;
    } else if (same_word(keyword, "use_z")) {
      if (!rest.empty()) reader.fail("expected use_z alone");
      run.use_z = true;
    } else if (same_word(keyword, "report")) {
      if (!rest.empty()) reader.fail("expected report alone");
      run.report = true;
    } else if (same_word(keyword, "resistivity_bounds")) {
      const std::vector<double> bounds = reader.values(
          rest, 2, [](double v) { return v > 0; },
          "resistivity_bounds LOWEST HIGHEST: two positive values in ohm-m, the lowest first");
      if (!(bounds[0] < bounds[1])) {
        reader.fail(
            "expected resistivity_bounds LOWEST HIGHEST: two positive values in ohm-m, the "
            "lowest first");
      }
      run.resistivity_bounds = {bounds[0], bounds[1]};
    } else if (same_word(keyword, "memory_budget")) {
      const std::optional<std::size_t> bytes = parse_memory_budget(rest);
      if (!bytes) {
        reader.fail("expected memory_budget MIB: the memory the sensitivities may take, " +
                    memory_budget_range());
      }
      run.settings.memory_budget = *bytes;
    } else if (same_word(keyword, "max_log_change")) {
      run.max_log_change = reader.values(
          rest, 1, [](double v) { return v >= 0; },
          "max_log_change VALUE: the largest change of ln(resistivity) in one iteration, 0 or "
          "more (0: unbounded)")[0];
    } else if (same_word(keyword, "parameter_cell")) {
      needs_value();
      const std::vector<std::string_view> values = words_of(rest);
      double width = unset;
      const bool is_width = values.size() == 1 && read_text(values[0], {width}).ok() &&
                            std::isfinite(width) && width > 0;
      if (values.size() != 1 ||
          !(same_word(values[0], "mesh") || same_word(values[0], "auto") || is_width)) {
        reader.fail("expected parameter_cell mesh, auto or a positive width in metres");
      }
      run.parameter_cell = is_width ? ParameterCellChoice{ParameterCellChoice::Kind::width, width}
                           : same_word(values[0], "auto")
                               ? ParameterCellChoice{ParameterCellChoice::Kind::automatic, 0}
                               : ParameterCellChoice{};
    } else if (same_word(keyword, "parameters")) {
      needs_value();
      run.parameter_file = reader.existing_file("parameter grid", rest);
    } else if (same_word(keyword, "ip_lower_bound")) {
      run.ip_lower_bound = reader.values(
          rest, 1, [](double v) { return v <= 0; },
          "ip_lower_bound VALUE: the lowest chargeability, 0 or less, in the unit of the IP "
          "data")[0];
    } else if (timelapse != nullptr && same_word(keyword, "timelapse_step")) {
      needs_value();
      timelapse->step_files.push_back(reader.existing_file("time-lapse data", rest));
      continue;  // one line per step
    } else if (timelapse != nullptr && same_word(keyword, "timelapse_method")) {
      needs_value();
      if (timelapse->step_files.empty()) {
        reader.fail("timelapse_method needs the timelapse_step lines of the later steps before it");
      }
      read_timelapse_method(reader, rest, *timelapse);
    } else if (doi != nullptr && same_word(keyword, "doi")) {
      if (!rest.empty()) reader.fail("expected doi alone");
      doi->on = true;
    } else if (doi != nullptr && same_word(keyword, "doi_factor")) {
      doi->factor = reader.values(
          rest, 1, [](double v) { return v > 1; },
          "doi_factor F: how many times the higher reference of the depth of investigation is "
          "the lower, a number above 1")[0];
      doi->on = true;
    } else {
      reader.fail(unknown_keyword_text(timelapse != nullptr, doi != nullptr));
    }
    seen.emplace_back(words[0]);
    for (char& c : seen.back()) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
}

}  // namespace

InversionRun read_control_file(const Io& io, std::string_view name,
                               const ControlOverrides& overrides, TimelapseControl* timelapse,
                               DoiControl* doi, std::vector<ControlInputName>* inputs) {
  ControlReader reader(io, name);
  reader.record_inputs(inputs);
  InversionRun run;
  const auto overridden = [&](bool skip, std::string_view what) {
    if (skip) reader.require(what);
    return skip;
  };
  if (!overridden(overrides.mesh, "the mesh file"))
    run.mesh_file = reader.file_or_none("mesh", false);
  if (!overridden(overrides.data, "the data file or none")) {
    run.data_file = reader.file_or_none("data", true);
  }
  if (!overridden(overrides.ip_data, "the IP data file or none")) {
    run.ip_data_file = reader.file_or_none("IP data", true);
  }
  if (!overridden(overrides.topography, "the topography file or none")) {
    run.topography_file = reader.file_or_none("topography", true);
  }
  run.active_file = reader.file_or_none("active cell", true);
  run.starting =
      reader.model_choice(reader.require("the starting model: a value, a model file or default"),
                          "starting model", true);
  run.reference =
      reader.model_choice(reader.require("the reference model: a value, a model file or default"),
                          "reference model", true);
  run.alpha = reader.alpha(reader.require("the alpha mode"));
  run.weights = reader.weights();
  run.dipping = reader.dipping();
  run.settings.chifact = reader.chifact();
  run.settings.max_iterations = reader.iteration_limit();
  run.invert = reader.targets();
  if (!overridden(overrides.output_folder, "the output folder")) {
    run.output_folder = reader.output_folder();
  }
  read_keyword_lines(reader, run, timelapse, doi);
  write_message(io, Order::log_only, "control file was read from: " + reader.name() + "\n");
  return run;
}

}  // namespace quelby
