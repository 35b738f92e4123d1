// The control-input line helpers for Python: the next data line of a Python file object or of a
// file named by a path, cutting an end-of-line comment, and taking a file name from a control line.
// Lines cross as str; the fixed line length of the library's buffers is an argument.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "bindings.hpp"
#include "quelby/base/control_input.hpp"
#include "quelby/base/free_format.hpp"
#include "streams.hpp"

namespace quelby::python {

namespace {

// The records of a Python text file object, read with readline(): the line end ("\n", "\r\n")
// belongs to the record, not to its text. The file's position advances exactly as far as the reads
// go, so a caller can go on reading after a data line was found.
class PythonLineSource final : public RecordSource {
 public:
  explicit PythonLineSource(py::object file) : file_(std::move(file)) {}
  bool next_record(std::string_view& record) override {
    py::object line = file_.attr("readline")();
    if (py::isinstance<py::bytes>(line)) line = line.attr("decode")("utf-8", "replace");
    text_ = line.cast<std::string>();
    if (text_.empty()) return false;  // readline's end of file
    if (text_.back() == '\n') text_.pop_back();
    if (!text_.empty() && text_.back() == '\r') text_.pop_back();
    record = text_;
    return true;
  }

 private:
  py::object file_;
  std::string text_;
};

std::size_t checked_length(std::int64_t length) {
  if (length < 1) throw py::value_error("length: the line length should be positive");
  return static_cast<std::size_t>(length);
}

// The next data line of `source` and the number of reads made (the counter's increment); the line
// is None at the end of the input.
py::tuple next_line(RecordSource& source, std::size_t length) {
  LineBuffer line(length);
  std::int32_t reads = 0;
  if (!next_data_line(source, line, &reads)) return py::make_tuple(py::none(), reads);
  return py::make_tuple(py::str(std::string(line.content())), reads);
}

}  // namespace

void bind_control_input(py::module_& module) {
  module.def(
      "next_data_line",
      [](std::variant<FileName, py::object> source, std::int64_t length) {
        const std::size_t size = checked_length(length);
        if (const FileName* path = std::get_if<FileName>(&source)) {
          InputFile file;
          if (!file.open(path->text)) {
            const py::object error = py::reinterpret_borrow<py::object>(PyExc_FileNotFoundError)(
                ENOENT, "cannot open the file", path->text);
            PyErr_SetObject(PyExc_FileNotFoundError, error.ptr());
            throw py::error_already_set();
          }
          return next_line(file, size);
        }
        PythonLineSource lines(std::get<py::object>(source));
        return next_line(lines, size);
      },
      py::arg("source"), py::arg("length") = 500,
      "next_data_line(source, length=500) -> (line, reads)\n\n"
      "Reads lines until one carries data: a line whose first character is '!' or '%', or that "
      "is blank (tabs count as blanks), is skipped. source: an open text file (anything with "
      "readline(); it is left just after the data line) or a path (its first data line). A line "
      "longer than `length` is cut. Returns the data line (str, without its line end) or None at "
      "the end of the input, and the number of reads made, the one at the end included: the "
      "1-based line number of a data line is the sum of the reads so far.");
  module.def(
      "strip_comment",
      [](const std::string& line, std::optional<std::int64_t> length) {
        if (!length && line.empty()) return std::string();  // an empty line has nothing to cut
        LineBuffer buffer(checked_length(length.value_or(static_cast<std::int64_t>(line.size()))));
        buffer.assign(line);
        strip_comment(buffer);
        return std::string(buffer.text());
      },
      py::arg("line"), py::arg("length") = py::none(),
      "strip_comment(line, length=None) -> str\n\n"
      "The line in a buffer of `length` characters (default: its own length; blank-padded or "
      "cut) with its first '!' and everything after it blanked; a line without '!' unchanged.");
  module.def(
      "read_input_file_name",
      [](const std::string& label, const std::string& control_line, std::int64_t length,
         py::object io) {
        LineBuffer file_name(checked_length(length));
        bool found = false;
        with_streams(streams_or_default(io), [&](const Io& streams) {
          read_input_file_name(streams, label, control_line, file_name, found);
        });
        return py::make_tuple(std::string(file_name.trimmed()), found);
      },
      py::arg("label"), py::arg("control_line"), py::arg("length") = 500,
      py::arg("io") = py::none(),
      "read_input_file_name(label, control_line, length=500, io=None) -> (file_name, found)\n\n"
      "Takes the control line as a file name (cut to `length`, trailing blanks removed) and "
      "whether that file exists. A missing file writes 'Error: <label> file does not exist:' and "
      "the name, a blank line 'Error: expecting <label> file.', console then run log; neither "
      "raises.");
}

}  // namespace quelby::python
