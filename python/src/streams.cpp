#include "streams.hpp"

#include <pybind11/stl.h>

namespace quelby::python {

PythonWriteBuffer::~PythonWriteBuffer() {
  try {
    sync();
  } catch (...) {
  }
}

PythonWriteBuffer::int_type PythonWriteBuffer::overflow(int_type c) {
  if (c != traits_type::eof()) pending_.push_back(static_cast<char>(c));
  return traits_type::not_eof(c);
}

std::streamsize PythonWriteBuffer::xsputn(const char* data, std::streamsize count) {
  pending_.append(data, static_cast<std::size_t>(count));
  return count;
}

int PythonWriteBuffer::sync() {
  if (pending_.empty()) return 0;
  py::gil_scoped_acquire gil;
  const std::string text = std::move(pending_);
  pending_.clear();
  try {
    if (!target_.is_none()) {
      target_.attr("write")(py::str(text.data(), text.size()));
      return 0;
    }
    const py::object logger = py::module_::import("logging").attr("getLogger")("quelby");
    const py::object lines = py::str(text.data(), text.size()).attr("splitlines")();
    for (const py::handle line : lines) {
      if (py::len(line.attr("strip")()) == 0) continue;
      logger.attr("info")(line);
    }
  } catch (py::error_already_set& error) {
    if (!error.matches(PyExc_KeyboardInterrupt)) throw;
    // Ctrl-C met while Python ran the writer (the main thread runs the signal's handler in the
    // first Python code it runs). A stream swallows what its sync throws, so the interrupt is
    // raised again, for the run's next check of signals to see.
    PyErr_SetInterrupt();
  }
  return 0;
}

Channel::Channel(py::object target, Fallback fallback) : target_(std::move(target)) {
  if (target_.is_none() && fallback == Fallback::memory) {
    memory_ = std::make_unique<std::ostringstream>();
    stream_ = memory_.get();
    return;
  }
  buffer_ = std::make_unique<PythonWriteBuffer>(target_);
  writer_ = std::make_unique<std::ostream>(buffer_.get());
  stream_ = writer_.get();
}

py::object Channel::target() const {
  if (!target_.is_none() || memory_) return target_;
  return py::module_::import("logging").attr("getLogger")("quelby");
}

Streams::Streams(py::object console, py::object error, py::object log)
    : console_(std::move(console), Fallback::logger),
      error_(std::move(error), Fallback::logger),
      log_(std::move(log), Fallback::memory),
      io_{console_.stream(), error_.stream(), log_.stream()} {}

Streams& default_streams() {
  // Made on first use and kept for the life of the interpreter.
  static Streams* const streams = new Streams(py::none(), py::none(), py::none());
  return *streams;
}

Streams& streams_or_default(py::object streams) {
  return streams.is_none() ? default_streams() : streams.cast<Streams&>();
}

void bind_streams(py::module_& module) {
  py::class_<Streams>(module, "Io",
                      "Io(console=None, error=None, log=None): the streams of the library's "
                      "messages. console and error: any object with write(str) (sys.stdout, an "
                      "open file, io.StringIO); None sends every non-empty line as an INFO record "
                      "to the logging logger 'quelby', so nothing is printed unless the caller "
                      "configures logging. log: the run log, a writable file object, or None to "
                      "keep it in memory (log_text).")
      .def(py::init<py::object, py::object, py::object>(), py::arg("console") = py::none(),
           py::arg("error") = py::none(), py::arg("log") = py::none())
      .def_property_readonly("log_text", &Streams::log_text,
                             "The run log written so far, when it is kept in memory.")
      .def("clear_log", &Streams::clear_log, "Empties an in-memory run log.")
      .def_property_readonly("console", &Streams::console)
      .def_property_readonly("error", &Streams::error)
      .def_property_readonly("log", &Streams::log);
  module.def(
      "default_io", []() -> Streams& { return default_streams(); },
      py::return_value_policy::reference,
      "The streams used when a function is given no io: console and error stream to the logger "
      "'quelby', the run log in memory.");
  module.def(
      "run_log", [] { return default_streams().log_text(); },
      "The in-memory run log of the default streams.");
}

}  // namespace quelby::python
