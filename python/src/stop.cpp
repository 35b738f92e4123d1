// quelby.Stop and its three subclasses: a stop of the library becomes one Python exception that
// carries the message lines, the command's exit status, the optional detail line and the cause, and
// that ordinary `except FileNotFoundError` / `ValueError` / `MemoryError` clauses catch too.
#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "bindings.hpp"
#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"

namespace quelby::python {

namespace {

// The exception types, made once and held for the life of the interpreter, as the translator may
// run at any time.
struct StopTypes {
  py::handle stop;
  py::handle missing_file;
  py::handle bad_input;
  py::handle resource;
};

StopTypes& stop_types() {
  static StopTypes types;
  return types;
}

py::handle make_type(const char* name, const char* doc, PyObject* bases) {
  PyObject* const type = PyErr_NewExceptionWithDoc(name, doc, bases, nullptr);
  if (type == nullptr) throw py::error_already_set();
  return type;
}

const char* cause_name(StopCause cause) {
  switch (cause) {
    case StopCause::missing_file:
      return "missing_file";
    case StopCause::resource:
      return "resource";
    case StopCause::bad_input:
      break;
  }
  return "bad_input";
}

void raise_stop(const Stop& stop) {
  const StopTypes& types = stop_types();
  py::handle type = types.bad_input;
  if (stop.cause() == StopCause::missing_file) type = types.missing_file;
  if (stop.cause() == StopCause::resource) type = types.resource;
  const std::string text = stop.what();
  py::object lines = py::str(text).attr("splitlines")();
  // The exception's own text: the message's non-empty lines, then the detail when there is one.
  std::string summary;
  for (const py::handle line : lines) {
    const std::string part = line.cast<std::string>();
    if (part.empty()) continue;
    if (!summary.empty()) summary += '\n';
    summary += part;
  }
  if (!stop.detail().empty()) summary += (summary.empty() ? "" : "\n") + stop.detail();
  py::object instance = py::reinterpret_borrow<py::object>(type)(summary);
  instance.attr("lines") = lines;
  instance.attr("text") = py::str(text);
  instance.attr("status") = stop.status();
  instance.attr("detail") = py::str(stop.detail());
  instance.attr("cause") = py::str(cause_name(stop.cause()));
  PyErr_SetObject(type.ptr(), instance.ptr());
}

}  // namespace

void bind_stop(py::module_& module) {
  StopTypes& types = stop_types();
  types.stop = make_type(
      "quelby.Stop",
      "Raised when the library stops an operation after writing its message.\n\n"
      "Attributes:\n"
      "  lines  -- the message as written, one string per line (its leading empty line included)\n"
      "  text   -- the message as one string\n"
      "  status -- the exit status the command would end with (1 after a message)\n"
      "  detail -- one line saying where and why an input was refused, or ''\n"
      "  cause  -- 'bad_input', 'missing_file' or 'resource'\n\n"
      "A stop for a missing file is also a FileNotFoundError (quelby.MissingFileStop), one for "
      "bad content also a ValueError (quelby.BadInputStop), one for a failed allocation also a "
      "MemoryError (quelby.ResourceStop).",
      PyExc_Exception);
  const auto subclass = [&](const char* name, const char* doc, PyObject* other) {
    const py::tuple bases = py::make_tuple(types.stop, py::handle(other));
    return make_type(name, doc, bases.ptr());
  };
  types.missing_file = subclass("quelby.MissingFileStop",
                                "A quelby.Stop for an input file that cannot be found or opened; "
                                "also a FileNotFoundError.",
                                PyExc_FileNotFoundError);
  types.bad_input =
      subclass("quelby.BadInputStop",
               "A quelby.Stop for input the library refused; also a ValueError.", PyExc_ValueError);
  types.resource = subclass("quelby.ResourceStop",
                            "A quelby.Stop for memory that could not be had; also a MemoryError.",
                            PyExc_MemoryError);
  module.attr("Stop") = types.stop;
  module.attr("MissingFileStop") = types.missing_file;
  module.attr("BadInputStop") = types.bad_input;
  module.attr("ResourceStop") = types.resource;
  py::register_exception_translator([](std::exception_ptr pointer) {
    try {
      if (pointer) std::rethrow_exception(pointer);
    } catch (const quelby::Stop& stop) {
      raise_stop(stop);
    }
  });
}

}  // namespace quelby::python
