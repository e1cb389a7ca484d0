#!/usr/bin/env bash
# Installs the Debian packages that building, testing, the demo and the benchmarks need,
# skipping those already present. Shared by the README's commands and CI. Needs root (or sudo).
set -euo pipefail

packages=(
  # toolchain and build
  g++ cmake ninja-build binutils pkg-config
  # tests and benchmarks of the C++ code
  libgtest-dev libbenchmark-dev
  # GNU Octave as a real MEX host
  octave octave-dev
  # Python module and its tests
  python3-dev python3-pybind11 pybind11-dev python3-numpy python3-pytest python3-pip python3-setuptools python3-venv
  # volumes in chunks and studies on dask, zarr storage, the workflow interface
  python3-dask python3-distributed python3-zarr python3-nipype
  # command-line tool: NIfTI files, arguments, fast gzip output (the build falls back to zlib
  # without libdeflate)
  libnifti2-dev libcli11-dev zlib1g-dev libdeflate-dev
  # the demo (real T1 template, NIfTI files, its figure), the benchmarks and the peers measured
  # against
  mricron-data python3-nibabel python3-matplotlib python3-scipy python3-skimage
  # sanitizers and fuzzing
  clang libclang-rt-14-dev
  # the format check
  clang-format
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#packages[@]} packages present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
$sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
