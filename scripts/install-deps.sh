#!/usr/bin/env bash
# Installs the Debian packages the build needs when any of them is missing.
set -euo pipefail
# parallel: GNU parallel, for the recipe of docs/cluster.md and its test.
packages=(cmake g++ make qt6-base-dev qt6-svg-dev libgtest-dev libgmock-dev libbenchmark-dev parallel)
# The Python module ephys, its tests and its example: Debian's Python with numpy and pybind11;
# pytest, pandas, neo (the independent reader the tests compare with) and matplotlib.
packages+=(python3-dev python3-numpy pybind11-dev python3-pytest python3-pandas python3-neo python3-matplotlib)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
