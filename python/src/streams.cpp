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
  py::object target =
      sys_name_.empty() ? target_ : py::module_::import("sys").attr(sys_name_.c_str());
  target.attr("write")(py::str(text.data(), text.size()));
  return 0;
}

Channel::Channel(py::object target, const char* sys_name) : target_(std::move(target)) {
  if (target_.is_none() && sys_name == nullptr) {
    memory_ = std::make_unique<std::ostringstream>();
    stream_ = memory_.get();
    return;
  }
  if (target_.is_none()) sys_name_ = sys_name;
  buffer_ = std::make_unique<PythonWriteBuffer>(target_, sys_name_);
  writer_ = std::make_unique<std::ostream>(buffer_.get());
  stream_ = writer_.get();
}

py::object Channel::target() const {
  return sys_name_.empty() ? target_ : py::module_::import("sys").attr(sys_name_.c_str());
}

Streams::Streams(py::object console, py::object error, py::object log)
    : console_(std::move(console), "stdout"),
      error_(std::move(error), "stderr"),
      log_(std::move(log), nullptr),
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
                      "The streams of the library's messages: console (sys.stdout by default), "
                      "error stream (sys.stderr by default) and run log (kept in memory unless a "
                      "writable file object is given).")
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
      "The streams used when a function is given no io: sys.stdout, sys.stderr, an in-memory run "
      "log.");
  module.def(
      "run_log", [] { return default_streams().log_text(); },
      "The in-memory run log of the default streams.");
}

}  // namespace quelby::python
