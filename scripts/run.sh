#!/usr/bin/env bash
# Builds tracemint if needed, then runs it with the given arguments:
#   scripts/run.sh malware.pdf
# The captures are written in the current working directory.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
if ! command -v cmake >/dev/null || ! installed libisal-dev; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q >&2
    $sudo apt-get install -y -q cmake make g++ libisal-dev >&2
fi
if [ ! -f "$repo/build/CMakeCache.txt" ]; then
    cmake -S "$repo" -B "$repo/build" -DCMAKE_BUILD_TYPE=Release -DTRACEMINT_TESTS=OFF >&2
fi
cmake --build "$repo/build" -j"$(nproc)" --target tracemint >&2
exec "$repo/build/tracemint" "$@"
