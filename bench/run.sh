#!/usr/bin/env bash
# Builds the benchmark runner in Release (build-bench/) and runs the benchmark on the T1
# template. Arguments go to bench/run.py, e.g. --quick (the 96^3 crop only) or --cases whole;
# --end-to-end (first) times the command-line tool alone (bench/end_to_end.py, its options after).
# Needs Debian's python3-nibabel, python3-numpy, python3-scipy, python3-skimage and mricron-data.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench -j"$(nproc)" --target volnlm_bench_run
# The target list is read once into a variable: piped straight into `grep -q`, which stops at the
# first match, cmake dies of SIGPIPE and pipefail turns a found target into a missing one.
targets="$(cmake --build build-bench --target help)"
# The Python module, for the end-to-end rows with and without masks (when it can be built).
if grep -q '^volnlm_python:' <<<"$targets"; then
  cmake --build build-bench -j"$(nproc)" --target volnlm_python volnlm_python_files
fi
# The command-line tool, for the end-to-end run (when it can be built).
if grep -q '^volnlm:' <<<"$targets"; then
  cmake --build build-bench -j"$(nproc)" --target volnlm
fi
if [ "${1:-}" = "--end-to-end" ]; then
  shift
  exec /usr/bin/python3 bench/end_to_end.py --volnlm build-bench/cli/volnlm "$@"
fi
/usr/bin/python3 bench/run.py --build build-bench "$@"
# A full run ends with the whole command on the whole template.
if [ $# -eq 0 ] && [ -x build-bench/cli/volnlm ]; then
  /usr/bin/python3 bench/end_to_end.py --volnlm build-bench/cli/volnlm
fi
