#!/usr/bin/env bash
# Benchmark every mode against `cp` of its own capture (and gzip -6, pigz and igzip
# for the gzip rows); prints one table of medians with wall time, CPU time and
# peak memory. Not a test: run it by hand on a quiet machine.
#
#   scripts/bench.sh [HTTP_MIB [MAIL_MIB [LIBS_MIB]]] [--runs N] [--rows h x ...] [--large]
#                    [--baseline OTHER_TRACEMINT] [--corpus [--corpus-mib N]] [--corpus-only]
#
# Defaults: 1024 MiB of random bytes for the HTTP, HTTP/2 and FTP rows, 256 MiB for
# the mail rows, 128 MiB of concatenated shared libraries (compressible) for the
# "libs" rows, 5 runs per figure. --rows takes mode letters (all rows of a mode) or
# full row labels such as "h plain realistic". Rows with the --realistic preset are
# measured beside their default row in the same run. --large adds a 5 GiB sparse
# input in modes h and x, and in mode h with the preset (size texts, gzip ISIZE,
# sequence numbers across 2^32, flat memory, capture time at the preset's rate).
# --baseline runs another binary interleaved with this one on every row without
# the preset (/base column; a baseline that lacks a row's options is not compared).
# --corpus adds a 200-file corpus (200 MiB in all by default) in modes h, s and F,
# written with --jobs 1 and on every core, run interleaved: the speedup, for
# separate captures and for one capture, and a check that both give the same bytes.
# The reference compressors come from Debian's gzip, pigz and isal packages.
# Builds a Release binary in build-bench/ unless $TRACEMINT names one.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v /usr/bin/time >/dev/null || { echo "bench.sh needs /usr/bin/time (apt-get install -y time)"; exit 1; }
exec python3 scripts/bench.py "$@"
