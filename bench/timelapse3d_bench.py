"""A 3-D time-lapse campaign as a user runs it: the steps of a 3-D monitoring survey (3-D survey
files, the first the baseline) inverted by quelby.invert_timelapse on a Dask LocalCluster, the
later steps side by side on its workers. Prints the wall time, each step's misfit and change, and
the peak memory of this process and of the workers.

Usage: python3 bench/timelapse3d_bench.py [--workers N] [--cells N] [--method difference|ratio]
                                          OUTDIR BASELINE STEP...
"""

import argparse
import resource
import sys
import time

import numpy as np


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--cells", type=int, default=0)
    parser.add_argument("--method", default="difference")
    parser.add_argument("out")
    parser.add_argument("baseline")
    parser.add_argument("steps", nargs="+")
    arguments = parser.parse_args()

    import distributed
    import quelby

    started = time.perf_counter()
    cluster = distributed.LocalCluster(n_workers=arguments.workers, threads_per_worker=1,
                                       processes=True, dashboard_address=None, silence_logs=40)
    options = {"cell_budget": arguments.cells} if arguments.cells else {}
    with distributed.Client(cluster) as client:
        campaign = quelby.invert_timelapse(None, arguments.baseline, arguments.steps,
                                           method=arguments.method, out=arguments.out,
                                           client=client, progress=False, **options)
        workers_peak = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
    cluster.close()
    elapsed = time.perf_counter() - started
    base = campaign.baseline
    print(f"baseline: {base.history['ndat']} readings, misfit {base.history['misfit'][-1]:.4g} "
          f"(target {base.history['target_misfit']:.4g}), grid {base.mesh.nx} x {base.mesh.ny} x "
          f"{base.mesh.nz}")
    for number, step in enumerate(campaign.steps, 1):
        if isinstance(step, quelby.RunFailed):
            print(f"step {number}: failed: {step.message}")
            continue
        history = step.result.history
        print(f"step {number}: misfit {history['misfit'][-1]:.4g} (target "
              f"{history['target_misfit']:.4g}) after {len(history['misfit']) - 1} iterations, "
              f"change {np.nanmin(step.change):.1f} % to {np.nanmax(step.change):.1f} %")
    own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    workers = max(workers_peak.values()) / 1024
    print(f"{len(arguments.steps) + 1} steps in {elapsed:.1f} s on {arguments.workers} workers; "
          f"peak memory {own:.0f} MiB here, {workers:.0f} MiB in a worker")
    return 0 if not campaign.failed else 1


if __name__ == "__main__":
    sys.exit(main())
