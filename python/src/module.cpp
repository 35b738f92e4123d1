// quelby._quelby: the library's stores and operations for Python. Models are numpy arrays of shape
// (nz, nx), x fastest; arrays that the library made are handed over without copies, their memory
// kept alive by the array.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

#include "bindings.hpp"
#include "quelby/base/version.hpp"
#include "streams.hpp"

PYBIND11_MODULE(_quelby, module) {
  module.doc() =
      "2-D and 3-D tensor-mesh models: files, smoothing, DC/IP forward modelling and "
      "regularised inversion";
  // The library's floors from the bottom, so that every type is known before a signature names it.
  quelby::python::bind_stop(module);
  quelby::python::bind_streams(module);
  quelby::python::bind_control_input(module);
  quelby::python::bind_mesh_and_models(module);
  quelby::python::bind_survey(module);
  quelby::python::bind_mesh3d(module);
  quelby::python::bind_survey3d(module);
  quelby::python::bind_cells(module);
  quelby::python::bind_regularization(module);
  quelby::python::bind_smoothing(module);
  quelby::python::bind_reports(module);
  quelby::python::bind_forward(module);
  quelby::python::bind_forward3d(module);
  quelby::python::bind_spd_solver(module);
  quelby::python::bind_fielddata(module);
  quelby::python::bind_inversion(module);
  quelby::python::bind_timelapse(module);
  quelby::python::bind_parallel(module);
  quelby::python::bind_pickling(module);
  module.attr("__version__") = std::string(quelby::version);
}
