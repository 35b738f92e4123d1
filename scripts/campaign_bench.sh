#!/usr/bin/env bash
# Ten profiles inverted serially and on a LocalCluster of Dask's distributed scheduler, side by side
# (bench/campaign_bench.py): first call and repeated calls, the cluster's start, the speed-up, and
# a check that both give the same bits. The machine is shared: only figures of one run compare.
#
# Usage: scripts/campaign_bench.sh [repetitions] [profiles]   (default 3 and 10)
set -euo pipefail
export LC_ALL=C
cd "$(dirname "$0")/.."
scripts/setup.sh --python
cmake --preset release -DQUELBY_PYTHON=ON -DPython_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build --preset release --target _quelby >/dev/null
PYTHONPATH=build/release/python /usr/bin/python3 bench/campaign_bench.py "$@"
