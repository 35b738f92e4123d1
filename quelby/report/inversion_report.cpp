#include "quelby/report/inversion_report.hpp"

#include <array>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <string>

#include "quelby/base/atomic_output.hpp"
#include "quelby/base/fixed_format.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/regularization/evaluation.hpp"

namespace quelby {
namespace {

void require(bool condition, const char* function, const char* what) {
  if (!condition) throw std::invalid_argument(std::string(function) + ": " + what);
}

// `value` in exponent form with 5 decimals, right-aligned in `width` columns.
void append_exponent(std::string& text, double value, int width) {
  std::array<char, 32> field{};
  format_exponent(value, width, 5, field.data());
  text.append(field.data(), static_cast<std::size_t>(width));
}

// `value` right-aligned in `width` columns, or as many asterisks when it does not fit.
void append_integer(std::string& text, std::int64_t value, int width) {
  std::array<char, 32> field{};
  format_integer(value, width, field.data());
  text.append(field.data(), static_cast<std::size_t>(width));
}

// `label` right-aligned in `width` columns.
void append_right_aligned(std::string& text, std::string_view label, std::size_t width) {
  if (label.size() < width) text.append(width - label.size(), ' ');
  text += label;
}

constexpr std::array<std::string_view, 4> term_names = {"Ws ", "Wx ", "Wz ", "Wxz"};
constexpr std::array<std::string_view, 4> term_names_3d = {"Ws ", "Wx ", "Wy ", "Wz "};

}  // namespace

void write_iteration_history(const Io& io, std::string_view name, std::int32_t niter,
                             std::span<const double> misfit_history,
                             std::span<const double> norm_history,
                             std::span<const double> beta_history, double target_misfit,
                             std::int32_t ndat) {
  const char* const function = "write_iteration_history";
  const std::size_t rows = niter < 0 ? 0 : static_cast<std::size_t>(niter) + 1;
  require(
      misfit_history.size() >= rows && norm_history.size() >= rows && beta_history.size() >= rows,
      function, "a history has fewer than niter + 1 elements");

  std::string text;
  text.reserve(64 * (rows + 3));
  append_integer(text, niter, 5);
  text += "  iter    data misfit       model norm              beta\n";
  for (std::size_t i = 0; i < rows; ++i) {
    append_integer(text, static_cast<std::int64_t>(i), 8);
    for (const std::span<const double> history : {misfit_history, norm_history, beta_history}) {
      text += "    ";
      append_exponent(text, history[i], 14);
    }
    text += '\n';
  }
  append_exponent(text, target_misfit, 12);
  text += " target misfit\n";
  append_integer(text, ndat, 12);
  text += " number of data\n";

  write_whole_file(io, name, "iteration history file", text);
}

void report_beta_choice(const Io& io, const BetaChoice& choice,
                        const std::optional<BetaTrials>& trials) {
  std::string text;
  if (trials) {
    require(trials->betas.size() == trials->misfits.size(), "report_beta_choice",
            "betas and misfits differ in length");
    text += "  beta vs. misfit:\n";
    text += "     beta         misfit\n";
    for (std::size_t k = 0; k < trials->betas.size(); ++k) {
      append_exponent(text, trials->betas[k], 13);
      append_exponent(text, trials->misfits[k], 13);
      text += '\n';
    }
    if (trials->betas.empty()) text += '\n';
  }
  text += '\n';
  const std::array<std::pair<std::string_view, double>, 6> lines = {{
      {"      chosen beta =", choice.chosen_beta},
      {"    target misfit =", choice.target_misfit},
      {"  achieved misfit =", choice.achieved_misfit},
      {"       model norm =", choice.model_norm},
      {"    misfit change =",
       (choice.previous_misfit - choice.achieved_misfit) / choice.previous_misfit},
      {"model norm change =", choice.model_norm_change},
  }};
  for (const auto& [label, value] : lines) {
    text += label;
    append_exponent(text, value, 13);
    text += '\n';
  }
  text += '\n';
  write_message(io, Order::log_only, text);
  io.log.flush();
}

void report_term_norms(const Io& io, const ModelObjective& objective, std::span<const double> m,
                       std::span<const double> m_ref) {
  std::array<double, 4> phi{};
  term_norms(objective, m, m_ref, phi);
  std::string text;
  const auto n_terms = static_cast<std::size_t>(objective.n_terms < 0 ? 0 : objective.n_terms);
  const auto& names = objective.three_dimensional ? term_names_3d : term_names;
  for (std::size_t k = 0; k < n_terms && k < names.size(); ++k) {
    append_right_aligned(text, std::string("norm comp ") + std::string(names[k]), 17);
    text += " =";
    append_exponent(text, phi[k], 13);
    text += '\n';
  }
  text += '\n';
  write_message(io, Order::log_only, text);
}

void report_norm_components(const Io& io, std::span<const double> components) {
  require(components.size() >= 4, "report_norm_components", "fewer than four components");
  std::string text;
  for (std::size_t k = 0; k < 3; ++k) {
    append_right_aligned(text, std::string("norm comp ") + std::string(term_names[k]), 18);
    text += '=';
    append_exponent(text, components[k + 1], 13);
    text += '\n';
  }
  text += '\n';
  write_message(io, Order::log_only, text);
}

}  // namespace quelby
