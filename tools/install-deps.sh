#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the data tools need,
# skipping the network when everything is present already.
set -euo pipefail
pkgs="g++ cmake make pkg-config libfftw3-dev libgtest-dev python3 python3-numpy
      python3-scipy python3-ase python3-gemmi python3-spglib"
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" \
    || missing="$missing $p"
done
if [ -n "$missing" ]; then
  echo "Installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends $missing
fi
