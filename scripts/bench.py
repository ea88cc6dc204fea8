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

# The --realistic preset with a fixed start, so that runs compare.
PRESET = ["--realistic", "--start-time", "2026-01-31T12:00:00Z"]

# (label, kind of input, options, target kind). "http" and "mail" are random
# bytes; "libs" is concatenated shared libraries, which compress about 3:1.
ROWS = [
    ("h plain", "http", ["-m", "h", "--http-encoder", "0"], "copy1.25"),
    ("h gzip", "http", ["-m", "h", "--http-encoder", "1"], "gzip"),
    ("h chunked", "http", ["-m", "h", "--http-encoder", "2"], "copy1.25"),
    ("h gzip+chunked", "http", ["-m", "h", "--http-encoder", "3"], "gzip"),
    ("H", "http", ["-m", "H"], "copy1.25"),
    ("x", "http", ["-m", "x"], "copy1.25"),
    ("f", "http", ["-m", "f"], "copy1.25"),
    ("F", "http", ["-m", "F"], "copy1.25"),
    ("h plain libs", "libs", ["-m", "h", "--http-encoder", "0"], "copy1.25"),
    ("h gzip libs", "libs", ["-m", "h", "--http-encoder", "1"], "gzipfast"),
    ("h gzip+chunked libs", "libs", ["-m", "h", "--http-encoder", "3"], "gzipfast"),
    ("h gzip-level 0 libs", "libs", ["-m", "h", "--http-encoder", "1", "--gzip-level", "0"], "info"),
    ("h gzip-level 1 libs", "libs", ["-m", "h", "--http-encoder", "1", "--gzip-level", "1"], "info"),
    ("h gzip-level 2 libs", "libs", ["-m", "h", "--http-encoder", "1", "--gzip-level", "2"], "info"),
    ("s base64", "mail", ["-m", "s", "-e", "0"], "copy2.5"),
    ("s quoted-printable", "mail", ["-m", "s", "-e", "1"], "copy2.2"),
    ("s UU", "mail", ["-m", "s", "-e", "2"], "copy2.5"),
    ("p base64", "mail", ["-m", "p"], "copy2.5"),
    ("i base64", "mail", ["-m", "i"], "copy2.5"),
    ("p quoted-printable", "mail", ["-m", "p", "-e", "1"], "copy2.5"),
    ("i quoted-printable", "mail", ["-m", "i", "-e", "1"], "copy2.5"),
    # The --realistic preset: its target is the time of the row named after
    # "preset:", measured in the same run (that row always runs first).
    ("h plain realistic", "http", ["-m", "h", "--http-encoder", "0", *PRESET], "preset:h plain"),
    ("x realistic", "http", ["-m", "x", *PRESET], "preset:x"),
    ("F realistic", "http", ["-m", "F", *PRESET], "preset:F"),
    ("s base64 realistic", "mail", ["-m", "s", "-e", "0", *PRESET], "preset:s base64"),
    # Every condition of the path between the hosts that has a rate, at 1%,
    # against the h plain row of the same run (at most 1.5 x its time).
    ("h conditions 1%", "http", ["-m", "h", "--http-encoder", "0", "--reorder", "0.01",
                                 "--duplicate", "0.01", "--loss", "0.01", "--capture-gap", "0.01",
                                 "--overlap", "0.01"], "preset:h plain:1.5"),
]
TARGETS = {"copy1.25": 1.25, "copy2.2": 2.2, "copy2.5": 2.5, "gzip": 1.15, "gzipfast": 0.125,
           "info": None}
# The gzip body on compressible input may be at most this much larger than gzip -6's.
GZIP_BODY_TARGET = 1.15
# A row with the preset may take at most this much longer than its default row.
PRESET_TARGET = 1.3
# Rows against a baseline binary (--baseline): each within this of its time.
BASELINE_TARGET = 1.03
MEMORY_TARGET_MIB = 16
SEED = "12345"
# The compressors the gzip rows are measured beside: (label, argv).
REFERENCES = [
    ("gzip -6", ["gzip", "-6", "-c"]),
    (f"pigz -6 -p {os.cpu_count() or 2}", ["pigz", "-6", "-p", str(os.cpu_count() or 2), "-c"]),
    ("igzip -3", ["igzip", "-3", "-c"]),
]


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


def timed(argv, cwd, stdin=None, stdout=subprocess.DEVNULL):
    """Runs argv under /usr/bin/time; returns (wall seconds, CPU seconds (user +
    system of the child), peak RSS in KiB). The RSS is the process's, so it
    covers all its threads."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        start = time.perf_counter()
        subprocess.run(["/usr/bin/time", "-o", report.name, "-f", "%M %U %S", *argv], cwd=cwd,
                       stdin=stdin, stdout=stdout, stderr=subprocess.DEVNULL, check=True)
        seconds = time.perf_counter() - start
        rss, user, system = report.read().strip().splitlines()[-1].split()
    return seconds, float(user) + float(system), int(rss)


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


def make_library_input(path, size):
    """Shared libraries from /usr/lib, concatenated in a fixed order up to size
    bytes (repeated if there are too few): machine code and tables, which
    compress about as well as typical executables and documents."""
    if path.exists() and path.stat().st_size == size:
        return
    names = sorted(str(p) for p in Path("/usr/lib").rglob("*.so*")
                   if p.is_file() and not p.is_symlink())
    if not names:
        raise SystemExit("no shared libraries under /usr/lib for the compressible input")
    with open(path, "wb") as out:
        left = size
        while left:
            for name in names:
                with open(name, "rb") as f:
                    piece = f.read(left)
                out.write(piece)
                left -= len(piece)
                if not left:
                    break


def warm(path):
    with open(path, "rb") as f:
        while f.read(16 * MIB):
            pass


def gzip_body_size(capture):
    """The Content-Length of the gzip response in a capture of --http-encoder 1
    (the whole gzip member), or None for a chunked body."""
    with open(capture, "rb") as f:
        head = f.read(MIB)
    marker = head.find(b"Content-Encoding: gzip")
    at = head.find(b"Content-Length: ", marker - 200 if marker > 200 else 0)
    if marker < 0 or at < 0:
        return None
    end = head.find(b"\r\n", at)
    return int(head[at + 16:end])


def bench_row(binary, work, label, options, input_path, runs, references, baseline=None):
    """Runs tracemint (after the baseline binary, if any), cp of its capture and
    each reference compressor in turn, runs times, so every ratio compares
    figures measured side by side. A baseline that rejects the row's options
    (an older build without them) is dropped for the row; its exit status is
    returned in "base_error"."""
    capture = work / "bench.pcap"
    copy = work / "copy.pcap"
    tool_times, tool_cpu, rss_values, cp_times, base_times = [], [], [], [], []
    base_error = None
    ref_times = {name: [] for name, _ in references}
    ref_cpu = {name: [] for name, _ in references}
    ref_rss = {name: [] for name, _ in references}
    ref_size = {}
    for _ in range(runs):
        if baseline and base_error is None:
            capture.unlink(missing_ok=True)
            try:
                seconds, _, _ = timed([str(baseline), *options, "--seed", SEED, "-o",
                                       str(capture), str(input_path)], work)
                base_times.append(seconds)
            except subprocess.CalledProcessError as error:
                base_error = error.returncode
                base_times = []
        capture.unlink(missing_ok=True)
        seconds, cpu, rss = timed([str(binary), *options, "--seed", SEED, "-o", str(capture),
                                   str(input_path)], work)
        tool_times.append(seconds)
        tool_cpu.append(cpu)
        rss_values.append(rss)
        copy.unlink(missing_ok=True)
        seconds, _, _ = timed(["cp", str(capture), str(copy)], work)
        cp_times.append(seconds)
        for name, argv in references:
            out_path = work / "ref.gz"
            with open(input_path, "rb") as src, open(out_path, "wb") as out:
                seconds, cpu, rss = timed(argv, work, stdin=src, stdout=out)
            ref_times[name].append(seconds)
            ref_cpu[name].append(cpu)
            ref_rss[name].append(rss)
            ref_size[name] = out_path.stat().st_size
            out_path.unlink()
    capture_size = capture.stat().st_size
    body = gzip_body_size(capture)
    span = capture_span(capture) if "--realistic" in options else None
    capture.unlink()
    copy.unlink(missing_ok=True)
    return {
        "label": label,
        "input_mib": input_path.stat().st_size / MIB,
        "capture_mib": capture_size / MIB,
        "tool": statistics.median(tool_times),
        "cpu": statistics.median(tool_cpu),
        "cp": statistics.median(cp_times),
        "rss_mib": max(rss_values) / 1024,
        "base": statistics.median(base_times) if base_times else None,
        "base_error": base_error,
        "body": body,
        "span": span,
        "refs": {name: {"wall": statistics.median(ref_times[name]),
                        "cpu": statistics.median(ref_cpu[name]),
                        "rss_mib": max(ref_rss[name]) / 1024,
                        "size": ref_size[name]} for name, _ in references},
    }


def select_rows(wanted):
    """The rows named by --rows: a mode letter picks all its rows, a full label
    one row. A row with the preset brings its default row, which it is
    measured against."""
    if not wanted:
        return list(ROWS)
    labels = {r[0] for r in ROWS}
    letters = {r[0].split()[0] for r in ROWS}
    unknown = [w for w in wanted if w not in labels and w not in letters]
    if unknown:
        raise SystemExit(f"unknown rows {unknown}; mode letters {sorted(letters)} or labels "
                         f"{[r[0] for r in ROWS]}")
    chosen = {r[0] for r in ROWS if r[0] in wanted or r[0].split()[0] in wanted}
    for label, _, _, target in ROWS:
        if label in chosen and target.startswith("preset:"):
            chosen.add(target.split(":")[1])
    return [r for r in ROWS if r[0] in chosen]


def main_table(args, binary, work):
    rows = select_rows(args.rows)
    inputs = {"http": work / "http-input.bin", "mail": work / "mail-input.bin",
              "libs": work / "libs-input.bin"}
    make_input(inputs["http"], args.http_mib * MIB)
    make_input(inputs["mail"], args.mail_mib * MIB)
    make_library_input(inputs["libs"], args.libs_mib * MIB)
    # Fresh inputs are dirty pages: written back now, they don't slow the first rows.
    os.sync()
    baseline = Path(args.baseline).resolve() if args.baseline else None
    have_references = all(shutil.which(argv[0]) for _, argv in REFERENCES)
    if not have_references:
        print("note: gzip, pigz or igzip missing (apt-get install -y pigz isal): "
              "no reference rows", flush=True)
    print(f"tracemint benchmark: median of {args.runs} runs, seed {SEED}, {os.cpu_count()} cores; "
          f"CPU = user + system seconds of the process"
          + (f"; /base = wall / wall of {baseline}, run interleaved" if baseline else ""),
          flush=True)
    header = (f"{'row':<22} {'in MiB':>6} {'out MiB':>8} {'wall s':>7} {'CPU s':>6} {'cp s':>6} "
              f"{'wall/cp':>7} {'in MiB/s':>8} {'RSS MiB':>7} {'/base':>6}  "
              f"vs gzip -6 / target")
    print(header)
    print("-" * len(header))
    missed = 0
    measured_rows = {}
    # The compressors run beside the first gzip row of each input; later gzip
    # rows of that input are compared with those figures.
    reference_figures = {}
    for label, kind, options, target in rows:
        warm(inputs[kind])
        os.sync()
        preset = target.startswith("preset:")
        gzip_row = target in ("gzip", "gzipfast")
        references = (REFERENCES if gzip_row and have_references and kind not in reference_figures
                      else [])
        # The baseline runs only the rows without the preset: an older binary
        # may not have it, and the preset rows have their own comparison.
        r = bench_row(binary, work, label, options, inputs[kind], args.runs, references,
                      None if preset else baseline)
        measured_rows[label] = r
        fresh = bool(references)
        if fresh:
            reference_figures[kind] = r["refs"]
        elif gzip_row and kind in reference_figures:
            r["refs"] = reference_figures[kind]
        ratio = r["tool"] / r["cp"] if r["cp"] > 0 else float("inf")
        note = ""
        if preset:
            parts = target.split(":")
            name = parts[1]
            limit = float(parts[2]) if len(parts) > 2 else PRESET_TARGET
            against = r["tool"] / measured_rows[name]["tool"]
            ok = against <= limit and r["rss_mib"] <= MEMORY_TARGET_MIB
            note = f"{against:.3f} x {name}; target <= {limit} x {name}"
            if r["span"] is not None:
                note += f"; capture spans {r['span']:.1f} s"
        elif target == "info":
            ok = r["rss_mib"] <= MEMORY_TARGET_MIB
            note = f"body {r['body'] / MIB:.1f} MiB" if r["body"] else ""
        elif gzip_row and r["refs"]:
            g = r["refs"]["gzip -6"]
            speed = r["tool"] / g["wall"]
            note = (f"gzip -6 {g['wall']:.2f} s (CPU {g['cpu']:.2f}), tool/gzip {speed:.3f}, "
                    f"tool/(gzip+cp) {r['tool'] / (g['wall'] + r['cp']):.2f}")
            if r["body"]:
                body_ratio = r["body"] / g["size"]
                note += f", body/gzip body {body_ratio:.3f}"
            else:
                body_ratio = None
            if target == "gzipfast":
                ok = speed <= TARGETS[target] and (body_ratio is None or
                                                   body_ratio <= GZIP_BODY_TARGET)
                note += f"; target tool/gzip <= {TARGETS[target]}, body <= {GZIP_BODY_TARGET}"
            else:
                ok = r["tool"] / (g["wall"] + r["cp"]) <= TARGETS[target]
                note += f"; target tool/(gzip+cp) <= {TARGETS[target]}"
            ok = ok and r["rss_mib"] <= MEMORY_TARGET_MIB
        else:
            ok = ratio <= (TARGETS[target] or float("inf")) and r["rss_mib"] <= MEMORY_TARGET_MIB
            note = f"target <= {TARGETS[target]} x cp"
        base_col = ""
        if baseline and not preset:
            if r["base"]:
                base_col = f"{r['tool'] / r['base']:.3f}"
                ok = ok and r["tool"] / r["base"] <= BASELINE_TARGET
                note += f", <= {BASELINE_TARGET} x base"
            else:
                base_col = "n/a"
                note += f", baseline exited {r['base_error']} on these options: not compared"
        missed += not ok
        print(f"{label:<22} {r['input_mib']:>6.0f} {r['capture_mib']:>8.0f} {r['tool']:>7.2f} "
              f"{r['cpu']:>6.2f} {r['cp']:>6.2f} {ratio:>7.2f} {r['input_mib'] / r['tool']:>8.0f} "
              f"{r['rss_mib']:>7.1f} {base_col:>6}  {note}, RSS <= {MEMORY_TARGET_MIB}: "
              f"{'met' if ok else 'MISSED'}", flush=True)
        if fresh:
            for name, ref in r["refs"].items():
                print(f"  {name + ' (' + kind + ')':<20} {r['input_mib']:>6.0f} "
                      f"{ref['size'] / MIB:>8.1f} {ref['wall']:>7.2f} {ref['cpu']:>6.2f} "
                      f"{'':>6} {'':>7} {r['input_mib'] / ref['wall']:>8.0f} "
                      f"{ref['rss_mib']:>7.1f}", flush=True)
    return missed


# --- large inputs ------------------------------------------------------------


def capture_span(path):
    """Seconds from the first packet of a pcap file to its last, streaming.
    Reads the byte order and the time resolution (micro- or nanoseconds) from
    the file's magic number."""
    with open(path, "rb") as f:
        magic = f.read(24)[:4]
        order, scale = {b"\xd4\xc3\xb2\xa1": ("<", 1e6), b"\xa1\xb2\xc3\xd4": (">", 1e6),
                        b"\x4d\x3c\xb2\xa1": ("<", 1e9), b"\xa1\xb2\x3c\x4d": (">", 1e9)}[magic]
        first = last = None
        while True:
            head = f.read(16)
            if len(head) < 16:
                break
            sec, frac, incl = struct.unpack(order + "III", head[:12])
            last = sec + frac / scale
            first = last if first is None else first
            f.seek(incl, os.SEEK_CUR)
    return (last - first) if first is not None else 0.0


def scan_records(path):
    """Yields (TCP header onwards, TCP payload) of each record, streaming: a
    capture of several GiB is never held in memory."""
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
    print(f"\nlarge input: {size} bytes (sparse), modes h plain, h gzip, x, and h plain with "
          f"the --realistic preset", flush=True)
    cases = [("h plain", ["-m", "h"], b"Content-Length: 5368709120\r\n"),
             ("h gzip", ["-m", "h", "--http-encoder", "1"], None),
             ("x", ["-m", "x"], b"5368709120"),
             ("h realistic", ["-m", "h", *PRESET], b"Content-Length: 5368709120\r\n")]
    failures = 0
    for label, options, text in cases:
        capture = work / "large.pcap"
        capture.unlink(missing_ok=True)
        seconds, _, rss = timed([str(binary), *options, "--seed", SEED, "-o", str(capture),
                                 str(big)], work)
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
        if "--realistic" in options:
            # 5 GiB of payload at the preset's 100 Mbit/s is 429.5 s; the
            # handshake and a few round trips of 20 ms add well under 1%.
            span = capture_span(capture)
            due = size * 8 / 100e6
            notes.append(f"capture spans {span:.1f} s ({due:.1f} s at 100 Mbit/s)")
            if abs(span - due) > due / 100:
                notes.append("MISSING the rate: not within 1%")
        ok = not any(n.startswith(("MISSING", "BROKEN")) for n in notes)
        ok = ok and rss / 1024 <= MEMORY_TARGET_MIB
        failures += not ok
        print(f"{label:<10} {capture.stat().st_size / MIB:>9.0f} MiB capture  {seconds:>7.2f} s  "
              f"RSS {rss / 1024:.1f} MiB  {'; '.join(notes)}  {'met' if ok else 'MISSED'}",
              flush=True)
        capture.unlink()
    big.unlink()
    return failures


def corpus_speedup(binary, work, runs, total_mib):
    """A 200-file corpus in modes h, s and F, with --jobs 1 and with every core,
    run interleaved: the median wall time of each and their ratio, for separate
    captures and for one capture (-o). Both must give the same bytes."""
    cores = os.cpu_count() or 1
    corpus = work / "corpus"
    corpus.mkdir(exist_ok=True)
    # Sizes from 1 KiB up, doubling over the corpus's length: a few large files
    # among many small ones, as real corpora are.
    weights = [2 ** (i % 10) for i in range(200)]
    scale = total_mib * MIB / sum(weights)
    names = []
    for i, weight in enumerate(weights):
        name = f"sample{i:03}.bin"
        make_input(corpus / name, max(1024, int(weight * scale)))
        names.append(name)
    for name in names:
        warm(corpus / name)
    print(f"\ncorpus: {len(names)} files, {total_mib} MiB in all, modes h s F; --jobs 1 against "
          f"--jobs {cores} (every core), median of {runs} runs, interleaved", flush=True)
    failures = 0
    for label, output in (("separate captures", None), ("one capture (-o)", "all.pcap")):
        walls = {1: [], cores: []}
        digests = {}
        for _ in range(runs):
            for jobs in (1, cores):
                out = work / f"corpus-out-{jobs}"
                shutil.rmtree(out, ignore_errors=True)
                out.mkdir()
                target = ["-o", str(out / output)] if output else []
                seconds, _, _ = timed([str(binary), "-m", "hsF", "--seed", SEED, "--jobs",
                                       str(jobs), *target, *names], corpus)
                walls[jobs].append(seconds)
                if output is None:
                    for capture in corpus.glob("sample*.pcap"):
                        capture.rename(out / capture.name)
                digests[jobs] = {p.name: p.read_bytes() for p in sorted(out.iterdir())}
        one, every = statistics.median(walls[1]), statistics.median(walls[cores])
        same = digests[1] == digests[cores]
        failures += not same
        print(f"{label:<18} --jobs 1 {one:>7.2f} s  --jobs {cores} {every:>7.2f} s  "
              f"speedup {one / every:.2f} x on {cores} cores  "
              f"{'same bytes' if same else 'DIFFERENT BYTES'}", flush=True)
    shutil.rmtree(corpus, ignore_errors=True)
    for jobs in (1, cores):
        shutil.rmtree(work / f"corpus-out-{jobs}", ignore_errors=True)
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("http_mib", nargs="?", type=int, default=1024,
                        help="input size for the HTTP, HTTP/2 and FTP rows (MiB, default 1024)")
    parser.add_argument("mail_mib", nargs="?", type=int, default=256,
                        help="input size for the mail rows (MiB, default 256)")
    parser.add_argument("libs_mib", nargs="?", type=int, default=128,
                        help="size of the compressible input (shared libraries; MiB, default 128)")
    parser.add_argument("--runs", type=int, default=5, help="runs per figure (median; default 5)")
    parser.add_argument("--rows", nargs="*",
                        help="only these rows: mode letters (h H x f F s p i) for all rows of a "
                        "mode, or full labels such as \"h plain realistic\" (a row with the "
                        "preset brings its default row)")
    parser.add_argument("--large", action="store_true",
                        help="also the 5 GiB sparse input in modes h and x, and in mode h "
                        "with the --realistic preset")
    parser.add_argument("--corpus", action="store_true",
                        help="also a 200-file corpus with --jobs 1 and on every core: the speedup")
    parser.add_argument("--corpus-mib", type=int, default=200,
                        help="the corpus's total size (MiB, default 200)")
    parser.add_argument("--corpus-only", action="store_true",
                        help="only the corpus rows, not the table")
    parser.add_argument("--work", help="working directory (default: a new one under the repo)")
    parser.add_argument("--baseline", help="another tracemint binary, built the same way: each "
                        "row without the preset is also run with it, interleaved, and must stay "
                        f"within {BASELINE_TARGET} x its time")
    args = parser.parse_args()
    if args.baseline and not os.access(args.baseline, os.X_OK):
        raise SystemExit(f"--baseline {args.baseline}: not an executable file")
    binary = tool()
    work = Path(args.work) if args.work else Path(tempfile.mkdtemp(prefix="bench-", dir=ROOT))
    work.mkdir(parents=True, exist_ok=True)
    try:
        missed = 0 if args.corpus_only else main_table(args, binary, work)
        if args.corpus or args.corpus_only:
            missed += corpus_speedup(binary, work, args.runs, args.corpus_mib)
        if args.large:
            missed += large_inputs(binary, work)
    finally:
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
