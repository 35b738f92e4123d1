// Console, error stream and run log captured in memory, together with the order in which the
// console and the run log were written to.
#pragma once

#include <ostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "quelby/base/io.hpp"

namespace quelby::testing {

class Transcript {
 public:
  Transcript() : console_(&console_buffer_), log_(&log_buffer_), io_{console_, error_, log_} {}

  const Io& io() const { return io_; }
  std::string console() const { return console_buffer_.text; }
  std::string log() const { return log_buffer_.text; }
  std::string error() const { return error_.str(); }
  // "console" and "log" in the order of their first write after each switch between them.
  const std::vector<std::string>& order() const { return order_; }

 private:
  struct Recorder : std::streambuf {
    Recorder(Transcript& owner, std::string name) : owner(owner), name(std::move(name)) {}
    std::streamsize xsputn(const char* data, std::streamsize count) override {
      note();
      text.append(data, static_cast<std::size_t>(count));
      return count;
    }
    int_type overflow(int_type c) override {
      if (c != traits_type::eof()) {
        note();
        text.push_back(static_cast<char>(c));
      }
      return traits_type::not_eof(c);
    }
    void note() {
      if (owner.order_.empty() || owner.order_.back() != name) owner.order_.push_back(name);
    }
    Transcript& owner;
    std::string name;
    std::string text;
  };

  std::vector<std::string> order_;
  Recorder console_buffer_{*this, "console"};
  Recorder log_buffer_{*this, "log"};
  std::ostream console_;
  std::ostream log_;
  std::ostringstream error_;
  Io io_;
};

}  // namespace quelby::testing
