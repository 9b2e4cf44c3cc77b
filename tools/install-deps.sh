#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the data tools need,
# skipping the network when everything is present already.  The packages of
# the screening tests (matplotlib for the plots, GNU parallel, a single-node
# Slurm with munge) and LAMMPS with OpenMPI (the tests and the benchmark of
# --gen-lammps) are installed when possible; where they cannot be, those
# tests report themselves skipped.
set -euo pipefail
pkgs="g++ cmake make pkg-config libfftw3-dev libgtest-dev python3 python3-numpy
      python3-scipy python3-ase python3-gemmi python3-spglib"
optional="python3-matplotlib parallel munge slurmctld slurmd slurm-client lammps openmpi-bin chromium"
missing() {
  local p out=""
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
      || out="$out $p"
  done
  echo "$out"
}
need=$(missing $pkgs)
want=$(missing $optional)
if [ -n "$need$want" ]; then
  echo "Installing:$need$want"
  export DEBIAN_FRONTEND=noninteractive
  if [ -n "$need" ]; then
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $need
  fi
  if [ -n "$want" ]; then
    { [ -n "$need" ] || apt-get update -qq; } && \
      apt-get install -y -qq --no-install-recommends $want \
      || echo "Warning: could not install$want; the tests that need them are skipped"
  fi
fi
