#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each over its seed corpus, then for
# SECONDS more of new inputs (default 10). New inputs go to a scratch corpus, not
# into the repository; a failing input is saved under build-fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
build=build-fuzz
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTRACEMINT_FUZZ=ON -DTRACEMINT_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
mkdir -p "$build/artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for source in tests/fuzz/*-fuzz.cpp; do
    name=$(basename "$source" .cpp)
    target=${name%-fuzz}
    mkdir -p "$scratch/$target"
    options=(-max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -print_final_stats=0
             -artifact_prefix="$PWD/$build/artifacts/$target-")
    [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="$PWD/tests/fuzz/$target.dict")
    echo "== $name: seed corpus, then ${seconds}s"
    if ! "$build/$name" "${options[@]}" "$scratch/$target" "$PWD/tests/fuzz/corpus/$target" \
            >"$scratch/$target.log" 2>&1; then
        tail -40 "$scratch/$target.log"
        echo "FAILED: $name (input saved under $build/artifacts/)"
        status=1
    else
        grep -E "^#[0-9]+ +DONE" "$scratch/$target.log" || tail -1 "$scratch/$target.log"
    fi
done
exit $status
