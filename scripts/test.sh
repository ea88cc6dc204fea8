#!/usr/bin/env bash
# Installs what the build and the tests need, builds from scratch, and runs every
# test twice: in an optimised build and in an AddressSanitizer +
# UndefinedBehaviorSanitizer build; then every fuzz target over its seed corpus
# and for a few seconds more.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake make g++ zlib1g-dev libisal-dev libgtest-dev tshark python3 groff-base
          clang libclang-rt-14-dev valgrind strace
          curl nghttp2-client python3-h2 python3-aiosmtpd sharutils)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    # tshark's packages ask whether non-root users may capture; take the default.
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -q
    $sudo apt-get install -y -q "${missing[@]}"
fi

jobs=$(nproc)
run_suite() {
    local dir=$1
    shift
    rm -rf "$dir"
    cmake -S . -B "$dir" -DTRACEMINT_WERROR=ON "$@"
    cmake --build "$dir" -j"$jobs"
    (cd "$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== optimised build"
run_suite build-test -DCMAKE_BUILD_TYPE=Release
echo "== sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    run_suite build-sanitize -DCMAKE_BUILD_TYPE=Debug -DTRACEMINT_SANITIZE=ON

echo "== fuzz targets (libFuzzer, seed corpus and 5 s each)"
scripts/fuzz.sh 5
