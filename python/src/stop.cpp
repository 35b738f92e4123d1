#include <pybind11/pybind11.h>

#include <exception>
#include <string>

#include "base/io.hpp"
#include "bindings.hpp"

namespace quelby::python {

void bind_stop(py::module_& module) {
  // Held for the life of the interpreter, as the translator may run at any time.
  static py::handle stop_type = PyErr_NewExceptionWithDoc(
      "quelby.Stop",
      "Raised after the library wrote a stop's message. `lines` holds the message as written "
      "(its leading empty line included), `status` the exit status the command would end with.",
      PyExc_Exception, nullptr);
  module.attr("Stop") = stop_type;
  py::register_exception_translator([](std::exception_ptr pointer) {
    try {
      if (pointer) std::rethrow_exception(pointer);
    } catch (const quelby::Stop& stop) {
      const std::string text = stop.what();
      py::object lines = py::str(text).attr("splitlines")();
      std::string summary;
      for (const py::handle line : lines) {
        const std::string part = line.cast<std::string>();
        if (part.empty()) continue;
        if (!summary.empty()) summary += '\n';
        summary += part;
      }
      py::object instance = py::reinterpret_borrow<py::object>(stop_type)(summary);
      instance.attr("lines") = lines;
      instance.attr("text") = py::str(text);
      instance.attr("status") = stop.status();
      PyErr_SetObject(stop_type.ptr(), instance.ptr());
    }
  });
}

}  // namespace quelby::python
