#!/usr/bin/env bash
# Benchmark every mode against `cp` of its own capture (and gzip -6, pigz and igzip
# for the gzip rows); prints one table of medians with wall time, CPU time and
# peak memory. Not a test: run it by hand on a quiet machine.
#
#   scripts/bench.sh [HTTP_MIB [MAIL_MIB [LIBS_MIB]]] [--runs N] [--rows h x ...] [--large]
#
# Defaults: 1024 MiB of random bytes for the HTTP, HTTP/2 and FTP rows, 256 MiB for
# the mail rows, 128 MiB of concatenated shared libraries (compressible) for the
# "libs" rows, 5 runs per figure. --large adds a 5 GiB sparse input in modes h
# and x (size texts, gzip ISIZE, sequence numbers across 2^32, flat memory).
# The reference compressors come from Debian's gzip, pigz and isal packages.
# Builds a Release binary in build-bench/ unless $TRACEMINT names one.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v /usr/bin/time >/dev/null || { echo "bench.sh needs /usr/bin/time (apt-get install -y time)"; exit 1; }
exec python3 scripts/bench.py "$@"
