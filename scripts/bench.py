#!/usr/bin/env python3
"""Benchmark: how long tracemint takes per mode, against the cost of just writing
the bytes of the capture it produced (a `cp` of that capture), with peak memory.

Every figure is the median of several runs made in the same session, and the
comparisons are ratios of figures measured side by side, so a noisy machine
shifts both sides alike. See scripts/bench.sh for the usage.
"""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MIB = 1 << 20

# (label, kind of input, options, target kind)
ROWS = [
    ("h plain", "http", ["-m", "h", "--http-encoder", "0"], "copy1.5"),
    ("h gzip", "http", ["-m", "h", "--http-encoder", "1"], "gzip"),
    ("h chunked", "http", ["-m", "h", "--http-encoder", "2"], "copy1.5"),
    ("h gzip+chunked", "http", ["-m", "h", "--http-encoder", "3"], "gzip"),
    ("H", "http", ["-m", "H"], "copy1.5"),
    ("x", "http", ["-m", "x"], "copy1.5"),
    ("f", "http", ["-m", "f"], "copy1.5"),
    ("F", "http", ["-m", "F"], "copy1.5"),
    ("s base64", "mail", ["-m", "s", "-e", "0"], "copy2.5"),
    ("s quoted-printable", "mail", ["-m", "s", "-e", "1"], "copy3.0"),
    ("s UU", "mail", ["-m", "s", "-e", "2"], "copy2.5"),
    ("p base64", "mail", ["-m", "p"], "copy2.5"),
    ("i base64", "mail", ["-m", "i"], "copy2.5"),
    # Not in the required set, but their targets are: POP3 and IMAP pay for a
    # counting pass over the file before the mail (its exact size goes first).
    ("p quoted-printable", "mail", ["-m", "p", "-e", "1"], "copy3.0"),
    ("i quoted-printable", "mail", ["-m", "i", "-e", "1"], "copy3.0"),
    # Every condition of the path between the hosts that has a rate, at 1%:
    # measured against the h plain row of the same run.
    ("h conditions 1%", "http", ["-m", "h", "--http-encoder", "0", "--reorder", "0.01",
                                 "--duplicate", "0.01", "--loss", "0.01", "--capture-gap", "0.01",
                                 "--overlap", "0.01"], "hplain1.5"),
]
TARGETS = {"copy1.5": 1.5, "copy2.5": 2.5, "copy3.0": 3.0, "gzip": 1.15, "hplain1.5": 1.5}
MEMORY_TARGET_MIB = 16
SEED = "12345"


def tool():
    configured = os.environ.get("TRACEMINT")
    if configured:
        return Path(configured).resolve()
    build = ROOT / "build-bench"
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                    "-DTRACEMINT_TESTS=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(build), "-j", str(os.cpu_count() or 2)], check=True,
                   stdout=subprocess.DEVNULL)
    return build / "tracemint"


def timed(argv, cwd, stdout=subprocess.DEVNULL):
    """Runs argv under /usr/bin/time; returns (wall seconds, peak RSS in KiB)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M", *argv], cwd=cwd,
                       stdout=stdout, stderr=subprocess.DEVNULL, check=True)
        seconds = time.perf_counter() - start
        rss = int(report.read().strip().splitlines()[-1])
    return seconds, rss


def make_input(path, size):
    """Random bytes (incompressible, like most files users feed in)."""
    if path.exists() and path.stat().st_size == size:
        return
    with open(path, "wb") as out, open("/dev/urandom", "rb") as rnd:
        left = size
        while left:
            piece = rnd.read(min(left, 16 * MIB))
            out.write(piece)
            left -= len(piece)


def warm(path):
    with open(path, "rb") as f:
        while f.read(16 * MIB):
            pass


def bench_row(binary, work, label, options, input_path, runs):
    capture = work / "bench.pcap"
    copy = work / "copy.pcap"
    tool_times, rss_values, cp_times = [], [], []
    for _ in range(runs):
        capture.unlink(missing_ok=True)
        seconds, rss = timed([str(binary), *options, "--seed", SEED, "-o", str(capture),
                              str(input_path)], work)
        tool_times.append(seconds)
        rss_values.append(rss)
        copy.unlink(missing_ok=True)
        seconds, _ = timed(["cp", str(capture), str(copy)], work)
        cp_times.append(seconds)
    capture_size = capture.stat().st_size
    capture.unlink()
    copy.unlink(missing_ok=True)
    return {
        "label": label,
        "input_mib": input_path.stat().st_size / MIB,
        "capture_mib": capture_size / MIB,
        "tool": statistics.median(tool_times),
        "cp": statistics.median(cp_times),
        "rss_mib": max(rss_values) / 1024,
    }


def gzip_seconds(input_path, work, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        with open(input_path, "rb") as src:
            subprocess.run(["gzip", "-6", "-c"], stdin=src, stdout=subprocess.DEVNULL, check=True,
                           cwd=work)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main_table(args, binary, work):
    inputs = {"http": work / "http-input.bin", "mail": work / "mail-input.bin"}
    make_input(inputs["http"], args.http_mib * MIB)
    make_input(inputs["mail"], args.mail_mib * MIB)
    # Fresh inputs are dirty pages: written back now, they don't slow the first rows.
    os.sync()
    gzip_time = {}
    rows = [r for r in ROWS if not args.rows or r[0].split()[0] in args.rows]
    print(f"tracemint benchmark: median of {args.runs} runs, seed {SEED}, {os.cpu_count()} cores",
          flush=True)
    header = (f"{'row':<20} {'in MiB':>7} {'cap MiB':>8} {'tool s':>7} {'cp s':>6} "
              f"{'tool/cp':>7} {'in MiB/s':>8} {'RSS MiB':>7} {'gzip s':>7} "
              f"{'tool/(gzip+cp)':>14}  target")
    print(header)
    print("-" * len(header))
    missed = 0
    tool_by_label = {}
    for label, kind, options, target in rows:
        warm(inputs[kind])
        os.sync()
        r = bench_row(binary, work, label, options, inputs[kind], args.runs)
        ratio = r["tool"] / r["cp"] if r["cp"] > 0 else float("inf")
        tool_by_label[label] = r["tool"]
        gzip_col, gzip_ratio_col = "", ""
        if target == "hplain1.5":
            base = tool_by_label.get("h plain")
            measured = r["tool"] / base if base else float("inf")
            goal = f"<= {TARGETS[target]} x h plain (here {measured:.2f})"
        elif target == "gzip":
            if kind not in gzip_time:
                gzip_time[kind] = gzip_seconds(inputs[kind], work, args.runs)
            g = gzip_time[kind]
            measured = r["tool"] / (g + r["cp"])
            gzip_col, gzip_ratio_col = f"{g:.2f}", f"{measured:.2f}"
            goal = f"<= {TARGETS[target]} x (gzip+cp)"
        else:
            measured = ratio
            goal = f"<= {TARGETS[target]} x cp"
        ok = measured <= TARGETS[target] and r["rss_mib"] <= MEMORY_TARGET_MIB
        missed += not ok
        print(f"{label:<20} {r['input_mib']:>7.0f} {r['capture_mib']:>8.0f} {r['tool']:>7.2f} "
              f"{r['cp']:>6.2f} {ratio:>7.2f} {r['input_mib'] / r['tool']:>8.0f} "
              f"{r['rss_mib']:>7.1f} {gzip_col:>7} {gzip_ratio_col:>14}  {goal}, "
              f"RSS <= {MEMORY_TARGET_MIB}: {'met' if ok else 'MISSED'}", flush=True)
    return missed


# --- large inputs ------------------------------------------------------------


def scan_records(path):
    """Yields (payload offset, payload, tcp header bytes, ports) of each record,
    streaming: a capture of several GiB is never held in memory."""
    with open(path, "rb") as f:
        f.read(24)
        while True:
            head = f.read(16)
            if len(head) < 16:
                return
            incl = struct.unpack("<I", head[8:12])[0]
            frame = f.read(incl)
            ip = frame[14:]
            ihl = 40 if frame[12:14] == b"\x86\xdd" else (ip[0] & 0x0F) * 4
            tcp = ip[ihl:]
            yield tcp, tcp[(tcp[12] >> 4) * 4:]


def check_sequence_numbers(path):
    """Every segment of a side starts where the previous one of that side ended,
    modulo 2^32; returns the number of wraps seen."""
    expected = {}
    wraps = 0
    for tcp, payload in scan_records(path):
        key = tcp[0:4]
        seq = struct.unpack(">I", tcp[4:8])[0]
        flags = tcp[13]
        if flags & 0x02:
            expected[key] = (seq + 1) & 0xFFFFFFFF
            continue
        if key in expected and seq != expected[key]:
            raise AssertionError(f"sequence break: {seq} where {expected[key]} was due")
        advance = len(payload) + (1 if flags & 0x01 else 0)
        if seq + advance > 0xFFFFFFFF:
            wraps += 1
        expected[key] = (seq + advance) & 0xFFFFFFFF
    return wraps


def large_inputs(binary, work):
    size = 5 * (1 << 30)
    big = work / "sparse-5g.bin"
    with open(big, "wb") as f:
        f.truncate(size)
    print(f"\nlarge input: {size} bytes (sparse), modes h plain, h gzip, x", flush=True)
    cases = [("h plain", ["-m", "h"], b"Content-Length: 5368709120\r\n"),
             ("h gzip", ["-m", "h", "--http-encoder", "1"], None),
             ("x", ["-m", "x"], b"5368709120")]
    failures = 0
    for label, options, text in cases:
        capture = work / "large.pcap"
        capture.unlink(missing_ok=True)
        seconds, rss = timed([str(binary), *options, "--seed", SEED, "-o", str(capture), str(big)],
                             work)
        notes = []
        with open(capture, "rb") as f:
            head = f.read(MIB)
            f.seek(-64 * 1024, os.SEEK_END)
            tail = f.read()
        if text is not None and text not in head:
            notes.append(f"MISSING {text!r}")
        if label == "h gzip":
            isize = struct.pack("<I", size % (1 << 32))
            if isize not in tail:
                notes.append("MISSING gzip ISIZE")
            else:
                notes.append(f"ISIZE {size % (1 << 32)}")
        try:
            notes.append(f"{check_sequence_numbers(capture)} sequence wraps, no break")
        except AssertionError as error:
            notes.append(f"BROKEN: {error}")
        ok = not any(n.startswith(("MISSING", "BROKEN")) for n in notes)
        ok = ok and rss / 1024 <= MEMORY_TARGET_MIB
        failures += not ok
        print(f"{label:<10} {capture.stat().st_size / MIB:>9.0f} MiB capture  {seconds:>7.2f} s  "
              f"RSS {rss / 1024:.1f} MiB  {'; '.join(notes)}  {'met' if ok else 'MISSED'}",
              flush=True)
        capture.unlink()
    big.unlink()
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("http_mib", nargs="?", type=int, default=1024,
                        help="input size for the HTTP, HTTP/2 and FTP rows (MiB, default 1024)")
    parser.add_argument("mail_mib", nargs="?", type=int, default=256,
                        help="input size for the mail rows (MiB, default 256)")
    parser.add_argument("--runs", type=int, default=3, help="runs per figure (median; default 3)")
    parser.add_argument("--rows", nargs="*", help="only these mode letters (h H x f F s p i)")
    parser.add_argument("--large", action="store_true",
                        help="also the 5 GiB sparse input in modes h and x")
    parser.add_argument("--work", help="working directory (default: a new one under the repo)")
    args = parser.parse_args()
    binary = tool()
    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="bench-", dir=ROOT))
    work.mkdir(parents=True, exist_ok=True)
    try:
        missed = main_table(args, binary, work)
        if args.large:
            missed += large_inputs(binary, work)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
