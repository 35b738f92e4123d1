"""A complete inversion in Python of the bundled synthetic block survey, the same run as the
command's `quelby-invert block.inv` (examples/block.inv) and with the same results, to the bit.

The survey (examples/block_survey.cpp, with quelby's forward model): a dipole-dipole line of 32
electrodes 5 m apart, n = 1 to 8 (204 data), on ground rising 5 m along the line
(examples/block.topo), over a 10 ohm-m block of chargeability 50 mV/V in 100 ohm-m, 5 mV/V; the data
carry 2 % Gaussian noise and their standard deviations (examples/block_dc.dat, block_ip.dat). The
DC data are inverted for the resistivity, then the IP data for the chargeability on it, with
length scales of 5 m; each iteration is printed as it ends.

Usage: python3 examples/python/invert.py [--output FOLDER] [--pictures FOLDER]
  --output    the folder of the run's files (each iteration's model, the final models, the
              predicted data, the histories, run.log); without it nothing is kept
  --pictures  draws the recovered sections, the fit of the data and the histories there
              (examples/python/pictures.py; the documentation's are in doc/)
"""

import argparse
import pathlib
import sys
import time

import numpy as np

import quelby

EXAMPLES = pathlib.Path(__file__).resolve().parents[1]


def read_survey():
    """The bundled survey: (mesh, topography, DC data, IP data)."""
    mesh, topography = quelby.load_mesh_and_topography(EXAMPLES / "block.msh",
                                                       EXAMPLES / "block.topo")
    dc = quelby.read_data_file(EXAMPLES / "block_dc.dat")
    ip = quelby.read_data_file(EXAMPLES / "block_ip.dat", dc_data=False)  # IP type 1
    return mesh, topography, dc, ip


def true_block(mesh, topography):
    """True for the cells of the block: 20 m wide about the line's middle (x = 77.5 m), from 2.5 m
    to 10 m below the ground."""
    x = np.asarray(mesh.x_centres)
    ground = np.interp(x, mesh.x_nodes, topography.surface_z)
    depth = np.asarray(mesh.z_centres)[:, None] - ground[None, :]
    return (np.abs(x - 77.5)[None, :] < 10) & (depth > 2.5) & (depth < 10)


def block_and_background(result):
    """The cells of the block, and the other ground cells of the core under the electrodes."""
    mesh = result.mesh
    block = true_block(mesh, result.topography)
    (x_low, x_high), (z_low, z_high) = quelby.core_extent(mesh, result.survey, result.topography)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    air = np.arange(mesh.nz)[:, None] < np.asarray(result.topography.air_cells)[None, :]
    core = (x > x_low) & (x < x_high) & (z > z_low) & (z < z_high) & ~air
    return {"block": block, "background": core & ~block}


def invert(output=None, callback=None, io=None):
    """Runs the inversion of examples/block.inv from Python and returns quelby.invert's result
    (with the stores read, as .topography, .survey and .ip_survey)."""
    mesh, topography, dc, ip = read_survey()
    result = quelby.invert(mesh=mesh, data=dc, ip_data=ip, topography=topography,
                           lengths=(5, 5), ip_lengths=(5, 5), what="both", out=output,
                           callback=callback, io=io)
    result.topography, result.survey, result.ip_survey = topography, dc, ip
    return result


def print_iteration(update):
    print(f"{update.stage.upper()} iteration {update.iteration}: misfit {update.misfit:.5g}, "
          f"beta {update.beta:.4g}, model norm {update.model_norm:.5g}", flush=True)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output", type=pathlib.Path, help="keep the run's files here")
    parser.add_argument("--pictures", type=pathlib.Path, help="draw the pictures here")
    arguments = parser.parse_args(argv[1:])
    started = time.perf_counter()
    result = invert(arguments.output, callback=print_iteration)
    elapsed = time.perf_counter() - started

    regions = block_and_background(result)
    mean = {name: np.exp(np.log(result.model[where]).mean()) for name, where in regions.items()}
    eta = {name: result.eta[where].mean() for name, where in regions.items()}
    for name, history in (("DC", result.history), ("IP", result.history_ip)):
        print(f"{name}: {history['stop']} after {history['misfit'].size - 1} iterations, misfit "
              f"{history['misfit'][-1]:.5g} (target {history['target_misfit']:.5g})")
    print(f"resistivity: block {mean['block']:.1f} ohm-m (true 10), elsewhere in the ground "
          f"{mean['background']:.1f} ohm-m (true 100)")
    print(f"chargeability: block {eta['block']:.1f} mV/V (true 50), elsewhere {eta['background']:.1f}"
          " mV/V (true 5)")
    print(f"reading to final results: {elapsed:.2f} s")
    if arguments.pictures:
        sys.path.insert(0, str(pathlib.Path(__file__).parent))
        import pictures

        pictures.draw(result, arguments.pictures)


if __name__ == "__main__":
    main(sys.argv)
