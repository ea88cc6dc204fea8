"""System calls that fail: every mode runs under strace with one failure
injected into one call of the tool's own (after the loader and the runtime have
started it): write, read, pread64, openat, close, rename and the stat calls,
each with EIO, ENOSPC and EINTR, at several points of the run. Whatever fails:

- status 0 only with the very capture a fault-free run writes (same --seed);
- EINTR is always retried or harmless: status 0 and that capture;
- any other outcome is status 255 with exactly one line on standard error,
  "Error: ...", naming the file and the system's reason;
- nothing cut short under the capture's name, and no temporary file left.
"""

import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verify  # noqa: E402

TOOL = str(verify.tool_path())
SYSCALLS = ["write", "read", "pread64", "openat", "close", "rename", "fstat", "newfstatat"]
ERRNOS = {"EIO": "Input/output error", "ENOSPC": "No space left on device", "EINTR": None}
# Every byte value, dot lines for the mail encoders: a few segments per mode.
INPUT = bytes(range(256)) * 60 + b".a line that starts with a dot\r\n" * 40
BIG_INPUT = bytes((i * 7 + (i >> 10)) & 0xFF for i in range(700_000))  # more than one capture write
# (name, options, input arrives on standard input)
CONFIGS = [
    ("http get", ["-m", "h"], False),
    ("http get, gzip and chunked", ["-m", "h", "--http-encoder", "3"], False),
    ("http post", ["-m", "H"], False),
    ("http2", ["-m", "x"], False),
    ("smtp", ["-m", "s", "-e", "2"], False),
    ("pop3", ["-m", "p"], False),
    ("imap quoted-printable", ["-m", "i", "-e", "1"], False),
    ("ftp active", ["-m", "f"], False),
    ("ftp passive", ["-m", "F", "-6"], False),
    ("standard input", ["-m", "h"], True),
    ("large input", ["-m", "H"], False),
]
# The tool's first own system call: its query of the SIGINT handler.
MARKER = re.compile(r"^\d+\s+rt_sigaction\(SIGINT, NULL")
CALL = re.compile(r"^\d+\s+(\w+)\(")
FIRST_FD = re.compile(r"^\d+\s+\w+\((\d+)[,)]")
PIPE = re.compile(r"^\d+\s+pipe2?\(\[(\d+), (\d+)\]")
NAMES = ("out.pcap", "in.bin", "stdin", "standard output", "temporary")


def environment():
    env = dict(os.environ)
    # LeakSanitizer stops the world with ptrace, which strace already holds.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"  # the last one counts
    return env


def run(args, work, stdin_data, strace=None):
    command = [TOOL, "--seed", "5", "-o", "out.pcap", *args]
    if strace:
        command = ["strace", "-f", "-qq", *strace, *command]
    return subprocess.run(command, cwd=work, input=stdin_data,
                          stdin=None if stdin_data is not None else subprocess.DEVNULL,
                          capture_output=True, timeout=300, env=environment())


def arguments(config):
    _, options, on_stdin = config
    return [*options, "-" if on_stdin else "in.bin"]


def input_of(config):
    return BIG_INPUT if config[0] == "large input" else INPUT


def own_calls(work, config):
    """For each system call of interest, the numbers (1-based, as strace
    counts them) of the calls that are the tool's own: after its first own
    call, and not the sanitizer runtime's (which checks memory by writing it
    to a pipe of its own: pipe2, write, close, close)."""
    log = Path(work) / "trace.log"
    proc = run(arguments(config), work, input_of(config) if config[2] else None,
               ["-o", str(log), "-e", "trace=" + ",".join(SYSCALLS + ["rt_sigaction", "pipe2"])])
    assert proc.returncode == 0, proc.stderr
    counts = {name: 0 for name in SYSCALLS}
    own = {name: [] for name in SYSCALLS}
    started = False
    runtime_fds = set()
    for line in log.read_text(errors="replace").splitlines():
        started = started or bool(MARKER.match(line))
        pipe = PIPE.match(line)
        if pipe:
            runtime_fds |= {int(pipe.group(1)), int(pipe.group(2))}
        m = CALL.match(line)
        if not m or m.group(1) not in counts:
            continue
        name = m.group(1)
        counts[name] += 1
        fd = FIRST_FD.match(line)
        if fd and int(fd.group(1)) in runtime_fds:
            if name == "close":
                runtime_fds.discard(int(fd.group(1)))
            continue
        if started:
            own[name].append(counts[name])
    assert started, "the tool's first call was not found"
    log.unlink()
    (Path(work) / "out.pcap").unlink()
    return own


def points(own):
    """Which calls to fail: the first own one, one in the middle, the last."""
    if not own:
        return []
    return sorted({own[0], own[len(own) // 2], own[-1]})


def faulty_run(config, reference, syscall, when, errno_name):
    with tempfile.TemporaryDirectory(prefix="tracemint-fault-") as work:
        data = input_of(config)
        if not config[2]:
            Path(work, "in.bin").write_bytes(data)
        inject = f"inject={syscall}:error={errno_name}:when={when}"
        proc = run(arguments(config), work, data if config[2] else None,
                   ["-o", "/dev/null", "-e", f"trace={syscall}", "-e", inject])
        left = sorted(os.listdir(work))
        capture = Path(work, "out.pcap").read_bytes() if "out.pcap" in left else None
    label = f"{config[0]}: {syscall} #{when} {errno_name}"
    stderr = proc.stderr.decode(errors="replace")
    problems = []
    expected_files = (["in.bin"] if not config[2] else [])
    if proc.returncode == 0:
        if capture != reference:
            problems.append("status 0 with a capture that differs from the fault-free one")
        if left != sorted(expected_files + ["out.pcap"]):
            problems.append(f"files left: {left}")
    else:
        if ERRNOS[errno_name] is None:
            problems.append(f"an interruption failed the run: {proc.returncode} {stderr!r}")
        if proc.returncode != 255:
            problems.append(f"status {proc.returncode}")
        lines = stderr.splitlines()
        if len(lines) != 1 or not lines[0].startswith("Error: "):
            problems.append(f"not one Error line: {stderr!r}")
        elif ERRNOS[errno_name] and ERRNOS[errno_name] not in lines[0]:
            problems.append(f"reason missing: {lines[0]!r}")
        elif not any(name in lines[0] for name in NAMES):
            problems.append(f"file not named: {lines[0]!r}")
        # A capture under its name is only acceptable whole (a failure after
        # it was complete, such as on standard output).
        if capture is not None and capture != reference:
            problems.append("a partial capture under the capture's name")
        if left not in (expected_files, sorted(expected_files + ["out.pcap"])):
            problems.append(f"files left: {left}")
    return [f"{label}: {p}" for p in problems], proc.returncode


class FaultInjection(unittest.TestCase):
    def test_every_injected_failure_ends_true_or_whole(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")
        jobs = []
        with tempfile.TemporaryDirectory(prefix="tracemint-fault-") as work:
            for config in CONFIGS:
                data = input_of(config)
                for name in os.listdir(work):
                    os.unlink(os.path.join(work, name))
                if not config[2]:
                    Path(work, "in.bin").write_bytes(data)
                proc = run(arguments(config), work, data if config[2] else None)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                reference = Path(work, "out.pcap").read_bytes()
                Path(work, "out.pcap").unlink()
                for syscall, own in own_calls(work, config).items():
                    for when in points(own):
                        for errno_name in ERRNOS:
                            jobs.append((config, reference, syscall, when, errno_name))
        workers = max(2, os.cpu_count() or 2)
        problems, failures, injected = [], 0, set()
        with concurrent.futures.ThreadPoolExecutor(workers) as pool:
            for found, status in pool.map(lambda job: faulty_run(*job), jobs):
                problems += found
                failures += status != 0
        for _, _, syscall, _, _ in jobs:
            injected.add(syscall)
        # The run must reach every kind of call, or the test proves less than it says.
        self.assertTrue({"write", "pread64", "openat", "close", "rename", "read"} <= injected,
                        injected)
        self.assertGreater(failures, 0)
        self.assertEqual(problems, [], f"{len(problems)} of {len(jobs)} runs:\n" + "\n".join(problems[:40]))


if __name__ == "__main__":
    unittest.main()
