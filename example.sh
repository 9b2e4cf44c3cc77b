#!/usr/bin/env bash
# Installs what is missing, builds velmora.x and ostrel into bin/, and runs
# the main job on a bundled example structure (LiCoO2, R-3m, given by its
# space-group symbol only): the space group read from the file, and the
# space group found from the expanded structure.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs" --target velmora ostrel

example=examples/LiCoO2.cif
echo "== space group read from $example"
bin/velmora.x --print-sym "$example"
echo "== space group found from the expanded structure"
bin/velmora.x --cal-sym "$example"
