#!/usr/bin/env bash
# Installs what is missing, builds velmora.x and ostrel into bin/, and runs
# the main job on a bundled fast-ion conductor, tetragonal Na3PS4: the
# site-energy landscape of the mobile Na+ ion (velmora.x --gen-cube), then
# its analysis (ostrel): sites, saddles, migration paths, the activation
# energies of 1D, 2D and 3D conduction and reaction pathways.
set -euo pipefail
cd "$(dirname "$0")"
./tools/install-deps.sh
jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$jobs" --target velmora ostrel

root=$PWD
example=$root/examples/Na3PS4.cif
run=$root/build/example
rm -rf "$run" && mkdir -p "$run" && cd "$run"
echo "== landscape of Na+ in $example"
"$root/bin/velmora.x" --gen-cube "$example" Na 1 0 0.1 t t Na3PS4.cube
echo "== analysis"
"$root/bin/ostrel" --cube Na3PS4.cube --cif "$example" Na1+ --path --summary --print-act
echo "== results in $run: OSTREL_summary.txt, OSTREL_events.txt, OSTREL_rp.csv"
