// A program of its own built against an installed quelby: smooths a model as the command does,
// so that its output can be compared byte for byte with the installed command's.
// Usage: consumer mesh model output cycles
#include <cstdlib>
#include <iostream>
#include <sstream>

#include <quelby/quelby.hpp>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::cerr << "usage: consumer mesh model output cycles\n";
    return 2;
  }
  std::ostringstream log;
  const quelby::Io io{std::cout, std::cerr, log};
  try {
    quelby::Mesh mesh;
    quelby::load_mesh(io, argv[1], mesh);
    quelby::Model model(mesh.nx, mesh.nz);
    quelby::Model smoothed(mesh.nx, mesh.nz);
    quelby::read_model(io, mesh, argv[2], "model", model);
    quelby::log_in_place(model.values());
    for (int cycle = std::atoi(argv[4]); cycle > 0; --cycle) {
      quelby::smooth_once(mesh, model, smoothed);
      model.swap(smoothed);
    }
    quelby::exp_in_place(model.values());
    quelby::write_model(io, mesh, argv[3], model);
  } catch (const quelby::Stop& stop) {
    return stop.status();
  }
  return 0;
}
