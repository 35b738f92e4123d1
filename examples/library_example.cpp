// Using the library directly: load a mesh and a model, report the run log and a summary, smooth
// the model twice in the logarithm domain and write it.
//
// Usage: library_example mesh model output
#include <cmath>
#include <iostream>
#include <sstream>

#include "quelby/base/io.hpp"
#include "quelby/base/stops.hpp"
#include "quelby/mesh/mesh.hpp"
#include "quelby/mesh/model.hpp"
#include "quelby/smoothing/smooth.hpp"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::cerr << "usage: library_example mesh model output\n";
    return 2;
  }
  // The run log is any stream; here it is kept in memory and shown at the end.
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  try {
    quelby::Mesh mesh;
    quelby::load_mesh(io, argv[1], mesh);
    quelby::Model model(mesh.nx, mesh.nz);
    quelby::read_model(io, mesh, argv[2], "example", model);

    double smallest = INFINITY;
    double largest = -INFINITY;
    for (const double value : model.values()) {
      smallest = std::fmin(smallest, value);
      largest = std::fmax(largest, value);
    }
    std::cout << mesh.nx << " by " << mesh.nz << " cells, x from " << mesh.x_nodes.front() << " to "
              << mesh.x_nodes.back() << ", z from " << mesh.z_nodes.front() << " to "
              << mesh.z_nodes.back() << "; values from " << smallest << " to " << largest << '\n';

    quelby::Model smoothed(mesh.nx, mesh.nz);
    quelby::log_in_place(model.values());
    for (int pass = 0; pass < 2; ++pass) {
      quelby::smooth_once(mesh, model, smoothed);
      model.swap(smoothed);
    }
    quelby::exp_in_place(model.values());
    quelby::write_model(io, mesh, argv[3], model);
  } catch (const quelby::Stop& stop) {
    return stop.status();
  }
  std::cout << "run log:" << log.str();
  return 0;
}
