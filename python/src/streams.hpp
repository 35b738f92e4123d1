// The three streams of a run as Python sees them: any object with a write(str) method (a file,
// sys.stdout, io.StringIO) as console or error stream, else the `logging` logger "quelby" (a
// library does not print); and a run log that is either such an object or kept in memory and read
// back afterwards.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>

#include "quelby/base/io.hpp"

namespace quelby::python {

namespace py = pybind11;

// Collects text and hands it to `target.write` on every flush and when destroyed. Without a target
// (None) every non-empty line becomes one INFO record of the logger "quelby", looked up at each
// flush so that handlers added later (as test runners do) receive it.
class PythonWriteBuffer : public std::streambuf {
 public:
  explicit PythonWriteBuffer(py::object target) : target_(std::move(target)) {}
  ~PythonWriteBuffer() override;

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* data, std::streamsize count) override;
  int sync() override;

 private:
  py::object target_;
  std::string pending_;
};

// Where a stream goes when it is given no target.
enum class Fallback { logger, memory };

// One stream: a Python object's writer, the logger "quelby", or text kept in memory.
class Channel {
 public:
  Channel(py::object target, Fallback fallback);
  std::ostream& stream() { return *stream_; }
  bool in_memory() const { return memory_ != nullptr; }
  std::string text() const { return memory_ ? memory_->str() : std::string(); }
  void clear() {
    if (memory_) memory_->str({});
  }
  void flush() { stream_->flush(); }
  py::object target() const;

 private:
  py::object target_;
  std::unique_ptr<PythonWriteBuffer> buffer_;
  std::unique_ptr<std::ostringstream> memory_;
  std::unique_ptr<std::ostream> writer_;
  std::ostream* stream_ = nullptr;
};

// The Python side's Io: console and error stream (the logger "quelby" unless given) and run log
// (in memory unless given).
class Streams {
 public:
  Streams(py::object console, py::object error, py::object log);
  const Io& io() const { return io_; }
  std::string log_text() const { return log_.text(); }
  void clear_log() { log_.clear(); }
  void flush() {
    console_.flush();
    error_.flush();
    log_.flush();
  }
  py::object console() const { return console_.target(); }
  py::object error() const { return error_.target(); }
  py::object log() const { return log_.target(); }

 private:
  Channel console_;
  Channel error_;
  Channel log_;
  Io io_;
};

// Runs `work` with the streams, turning a Stop into quelby.Stop; flushes the streams either way.
template <typename Work>
auto with_streams(Streams& streams, Work&& work) -> decltype(work(streams.io())) {
  struct Flush {
    Streams& streams;
    ~Flush() {
      try {
        streams.flush();
      } catch (...) {
      }
    }
  } flush{streams};
  return work(streams.io());
}

// The default streams: console and error stream to the logger "quelby", run log in memory.
Streams& default_streams();
// `streams` when given, else the default.
Streams& streams_or_default(py::object streams);

void bind_streams(py::module_& module);

}  // namespace quelby::python
