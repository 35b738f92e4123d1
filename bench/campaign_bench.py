"""Ten profiles inverted one after the other in this process (the library's threads on every core)
and on a LocalCluster (one worker process of one thread per core, quelby.invert_many), side by
side, repeated: the first repetition of each is the first call of fresh processes (imports,
first factorisations), the others repeated calls. Also the cluster's start and a whole call of
invert_many that starts and closes its own cluster. Checks that both give the same bits.

Usage: PYTHONPATH=build/release/python python3 bench/campaign_bench.py [repetitions] [profiles]
(scripts/campaign_bench.sh builds the module and runs it).
"""

import os
import sys
import tempfile
import time


def dipole_dipole(np, electrodes, spacing, n_max):
    rows = [(i, i + 1, i + 1 + n, i + 2 + n) for i in range(electrodes)
            for n in range(1, n_max + 1) if i + 2 + n <= electrodes - 1]
    return [np.array([row[e] for row in rows]) * spacing for e in range(4)]


def write_profiles(quelby, np, folder, count):
    """`count` profiles of 24 electrodes 5 m apart (dipole-dipole n = 1..6, 111 data), each over a
    block of its own place and resistivity, with 2 % noise; one mesh for all."""
    survey = quelby.survey_from_arrays(*dipole_dipole(np, 24, 5.0, 6))
    mesh = quelby.mesh_for_survey(survey, cell=2.5)
    quelby.write_mesh(os.path.join(folder, "profile.msh"), mesh)
    x, z = np.meshgrid(np.asarray(mesh.x_centres), np.asarray(mesh.z_centres))
    files = []
    for k in range(count):
        centre = 30 + 5 * k
        block = (np.abs(x - centre) < 7.5) & (z > 2.5) & (z < 10)
        data = quelby.forward(mesh, np.where(block, 10.0 + 5 * k, 100.0), survey)
        noisy = data * (1 + 0.02 * np.random.default_rng(k).standard_normal(data.size))
        files.append(os.path.join(folder, f"profile_{k}.dat"))
        quelby.write_general_data(files[-1], survey, noisy, stds=0.02 * np.abs(noisy))
    return mesh, survey, files


def main():
    import numpy as np

    import quelby
    from quelby.campaign import _cores, _local_cluster

    repetitions = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    cores = _cores()
    with tempfile.TemporaryDirectory() as folder:
        mesh, survey, files = write_profiles(quelby, np, folder, count)
        mesh_file = os.path.join(folder, "profile.msh")
        runs = [dict(name=f"profile {k}", mesh=mesh_file, data=f) for k, f in enumerate(files)]
        plain = [{k: v for k, v in run.items() if k != "name"} for run in runs]
        print(f"{count} profiles: {survey.ndat} data, {mesh.nx} x {mesh.nz} cells each; "
              f"{cores} cores; load {open('/proc/loadavg').read().split()[:3]}")

        start = time.perf_counter()
        client, cluster = _local_cluster(cores, 1)
        started = time.perf_counter() - start
        print(f"LocalCluster of {cores} one-thread workers started in {started:.2f} s")
        serial_times, cluster_times = [], []
        try:
            for repetition in range(repetitions):
                start = time.perf_counter()
                serial = [quelby.invert(**run) for run in plain]
                serial_times.append(time.perf_counter() - start)
                start = time.perf_counter()
                spread = quelby.invert_many(runs, client=client, progress=False)
                cluster_times.append(time.perf_counter() - start)
                same = all(np.array_equal(a.model, b.model) and
                           np.array_equal(a.predicted, b.predicted)
                           for a, b in zip(serial, spread))
                iterations = sum(r.history["misfit"].size - 1 for r in serial)
                print(f"repetition {repetition + 1}: serial {serial_times[-1]:.2f} s "
                      f"({quelby.thread_count()} threads), cluster {cluster_times[-1]:.2f} s, "
                      f"speed-up {serial_times[-1] / cluster_times[-1]:.2f}; "
                      f"{iterations} iterations in all; same bits: {same}")
                if not same:
                    return 1
        finally:
            client.close()
            cluster.close()
        start = time.perf_counter()
        quelby.invert_many(runs, progress=False)
        whole = time.perf_counter() - start
        if repetitions > 1:
            ratios = [a / b for a, b in zip(serial_times[1:], cluster_times[1:])]
            print(f"repeated (medians of {repetitions - 1}): serial "
                  f"{np.median(serial_times[1:]):.2f} s, cluster {np.median(cluster_times[1:]):.2f}"
                  f" s, speed-up {np.median(ratios):.2f} (from {min(ratios):.2f} to "
                  f"{max(ratios):.2f})")
        print(f"first call: serial {serial_times[0]:.2f} s, cluster {cluster_times[0]:.2f} s, "
              f"speed-up {serial_times[0] / cluster_times[0]:.2f}")
        print(f"invert_many with its own LocalCluster (start, runs, close): {whole:.2f} s")
        print(f"load after {open('/proc/loadavg').read().split()[:3]}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
