// quelby mesh inmodel outmodel cycles: smooths a model in the logarithm domain with the
// area-weighted mean of each cell's 3 by 3 neighbourhood, once per cycle, and writes the result as
// a model file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <new>
#include <streambuf>
#include <string>
#include <string_view>

#include "app/floating_point.hpp"
#include "app/smooth.hpp"
#include "base/free_format.hpp"
#include "base/io.hpp"
#include "base/phase_timer.hpp"
#include "base/stops.hpp"
#include "mesh/mesh.hpp"
#include "mesh/model.hpp"

namespace {

constexpr std::size_t field_length = 200;

// An argument in its 200-character field: cut to its first 200 characters.
std::string_view field(const char* argument) {
  const std::string_view text(argument);
  return text.substr(0, field_length);
}

// The run log: an anonymous temporary file, deleted by the system when the process ends.
class TemporaryFileBuffer : public std::streambuf {
 public:
  explicit TemporaryFileBuffer(std::FILE* file) : file_(file) {}

 protected:
  int_type overflow(int_type c) override {
    if (c == traits_type::eof()) return traits_type::not_eof(c);
    return std::fputc(c, file_) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    return static_cast<std::streamsize>(
        std::fwrite(data, 1, static_cast<std::size_t>(count), file_));
  }
  int sync() override { return std::fflush(file_) == 0 ? 0 : -1; }

 private:
  std::FILE* file_;
};

int run(int argc, char** argv) {
  if (argc != 5) {
    std::cout << "\nUsage: quelby  mesh inmodel outmodel cycles\n" << std::flush;
    return quelby::exit_usage;
  }
  const std::string_view mesh_name = quelby::trim_trailing_blanks(field(argv[1]));
  const std::string_view input_name = quelby::trim_trailing_blanks(field(argv[2]));
  const std::string_view output_name = quelby::trim_trailing_blanks(field(argv[3]));
  // The cycles field is padded with blanks to its full length, which a free-format read ignores.
  const std::string_view cycles_field = field(argv[4]);

  // A field that yields no value (a lone comma or slash) leaves the count at 0.
  std::int32_t cycles = 0;
  const quelby::ReadStatus status = quelby::read_text(cycles_field, {cycles});
  if (!status.ok()) {
    std::cerr << "Error: cannot read the number of cycles (" << status.condition()
              << "): " << quelby::trim_trailing_blanks(cycles_field) << '\n';
    return quelby::exit_failure;
  }
  if (cycles < 1) {
    std::cout << "\nError: number of cycles should be positive.\n" << std::flush;
    return quelby::exit_failure;
  }

  std::FILE* const log_file = std::tmpfile();
  if (log_file == nullptr) {
    std::cerr << "Error: cannot create the run log: " << std::strerror(errno) << '\n';
    return quelby::exit_failure;
  }
  TemporaryFileBuffer log_buffer(log_file);
  std::ostream log(&log_buffer);
  const quelby::Io io{std::cout, std::cerr, log};

  quelby::Mesh mesh;
  quelby::phase_mark(quelby::Phase::mesh);
  quelby::load_mesh(io, mesh_name, mesh);
  quelby::phase_mark(quelby::Phase::allocate);

  const std::size_t cells = static_cast<std::size_t>(mesh.nx) * static_cast<std::size_t>(mesh.nz);
  if (!quelby::fits_in_memory(2 * cells * sizeof(double))) quelby::out_of_memory_stop(io);
  quelby::Model working;
  quelby::Model smoothed;
  try {
    working = quelby::Model(mesh.nx, mesh.nz);
    smoothed = quelby::Model(mesh.nx, mesh.nz);
  } catch (const std::bad_alloc&) {
    quelby::out_of_memory_stop(io);
  }

  quelby::phase_mark(quelby::Phase::read);
  quelby::read_model(io, mesh, input_name, "model", working);
  quelby::phase_mark(quelby::Phase::ln);
  quelby::log_in_place(working.values());
  quelby::phase_mark(quelby::Phase::passes);
  // The newest pass becomes the next pass's input: the same values as copying it back.
  quelby::smooth_cycles(mesh, working, smoothed, cycles);
  quelby::phase_mark(quelby::Phase::exp);
  quelby::exp_in_place(working.values());
  quelby::write_model(io, mesh, output_name, working);
  quelby::phase_mark(quelby::Phase::teardown);
  return quelby::exit_success;
}

}  // namespace

int main(int argc, char** argv) {
  quelby::start_phase_timer();
  // Threads started later inherit this environment.
  quelby::set_command_floating_point();
  try {
    return run(argc, argv);
  } catch (const quelby::Stop& stop) {
    std::cout << std::flush;
    return stop.status();
  } catch (const std::bad_alloc&) {
    std::cerr << "Error: not enough memory, program terminated\n";
    return quelby::exit_failure;
  } catch (const std::exception& error) {
    std::cerr << "Error: " << error.what() << '\n';
    return quelby::exit_failure;
  }
}
