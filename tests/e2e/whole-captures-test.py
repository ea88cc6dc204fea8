"""A capture is whole or absent, and every success is true: inputs that change
while they are read, pseudo files, signals in the middle of a run, many runs
writing one name at once, standard input and output, and a line feed in an FTP
name. Runs that must be caught in the middle are slowed with strace's delay
injection (the tool's own system calls take longer; nothing else changes)."""

import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verify  # noqa: E402
from extract import carried_file  # noqa: E402

TOOL = str(verify.tool_path())
SEED = ["--seed", "11"]


def run(args, cwd, **options):
    options.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.run([TOOL, *args], cwd=cwd, capture_output=True, timeout=600, **options)


def slowed(syscall, delay_us, args, cwd, log):
    """Starts the tool under strace with every `syscall` delayed on its way
    out; strace runs detached (-D), so the process started is the tool itself
    and signals sent to it reach the tool."""
    return subprocess.Popen(
        ["strace", "-D", "-o", str(log), "-e", f"trace={syscall}",
         "-e", f"inject={syscall}:delay_exit={delay_us}", TOOL, *args],
        cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        # LeakSanitizer stops the world with ptrace, which strace already holds.
        env={**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"})


def wait_for(condition, timeout=60):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for the run to get there")
        time.sleep(0.005)


def input_reads_logged(log):
    """The block reader's reads of the input: from its first, a full buffer
    from offset 0 (the loader's reads of the libraries come before and are
    smaller)."""
    try:
        lines = [line for line in open(log) if line.startswith("pread64(")]
    except FileNotFoundError:
        return 0
    first = next((i for i, line in enumerate(lines) if ", 131072, 0)" in line), len(lines))
    return len(lines) - first


def pattern_bytes(size, seed):
    return bytes((i * 131 + seed * 7 + (i >> 9)) & 0xFF for i in range(size))


class ChangingInput(unittest.TestCase):
    def setUp(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")

    def test_input_that_shrinks_while_read_fails_and_leaves_no_capture(self):
        size = 3_000_000
        for mode in ("h", "p", "i", "F"):
            with self.subTest(mode=mode), verify.WorkDir() as work:
                big = work.write("big.bin", pattern_bytes(size, 1))
                log = work.path / "strace.log"
                proc = slowed("pread64", 30_000, ["-m", mode, *SEED, "-o", "out.pcap", "big.bin"],
                              work.path, log)
                # Two reads done: the size is announced, the data is being sent.
                wait_for(lambda: input_reads_logged(log) >= 2)
                os.truncate(big, 300_000)
                out, err = proc.communicate(timeout=600)
                self.assertEqual(proc.returncode, 255, err)
                self.assertRegex(err.decode(), r"\AError: big\.bin: changed while being read "
                                               rf"\(got \d+ of {size} bytes\)\n\Z")
                self.assertEqual(sorted(p.name for p in work.path.iterdir()),
                                 ["big.bin", "strace.log"])

    def test_input_rewritten_between_the_two_quoted_printable_passes(self):
        # The counting pass announces the literal's length; the encoding pass
        # must send exactly those bytes. The rewrite keeps the size (so no read
        # comes up short) but changes how long the encoding is.
        size = 1_000_000
        for mode in ("i", "p"):
            with self.subTest(mode=mode), verify.WorkDir() as work:
                big = work.write("big.bin", b"plain text line\n" * (size // 16))
                log = work.path / "strace.log"
                proc = slowed("pread64", 30_000,
                              ["-m", mode, "-e", "1", *SEED, "-o", "out.pcap", "big.bin"],
                              work.path, log)
                wait_for(lambda: input_reads_logged(log) >= 2)
                with open(big, "r+b") as f:
                    f.write(b"=\xff" * (size // 2))
                out, err = proc.communicate(timeout=600)
                self.assertEqual(proc.returncode, 255, err)
                self.assertRegex(err.decode(), r"\AError: big\.bin: changed while being read .*\n\Z")
                self.assertEqual(sorted(p.name for p in work.path.iterdir()),
                                 ["big.bin", "strace.log"])


class PseudoFiles(unittest.TestCase):
    def test_files_whose_size_the_system_misreports_are_carried_whole(self):
        # procfs says 0 bytes, sysfs a page; both hold something else.
        paths = [p for p in ("/proc/version", "/sys/devices/system/cpu/online")
                 if os.access(p, os.R_OK)]
        if not paths:
            self.skipTest("no procfs or sysfs")
        for path in paths:
            with self.subTest(path=path), verify.WorkDir() as work:
                content = Path(path).read_bytes()
                proc = run(["-m", "h", "-o", "out.pcap", path], work.path)
                self.assertEqual(proc.returncode, 0, proc.stderr)
                pcap = work.path / "out.pcap"
                verify.check_capture(str(pcap))
                self.assertEqual(carried_file(work, path, ["-m", "h"], pcap), content)
                self.assertEqual(sorted(p.name for p in work.path.iterdir()), ["out.pcap"])


class Signals(unittest.TestCase):
    def setUp(self):
        if shutil.which("strace") is None:
            self.skipTest("strace is not installed")

    def test_signal_removes_the_capture_in_progress_and_keeps_finished_ones(self):
        for signal_number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signal_number.name), verify.WorkDir() as work:
                work.write("in.bin", pattern_bytes(3_000_000, 2))
                log = work.path / "strace.log"
                proc = slowed("write", 40_000, ["-m", "hH", *SEED, "in.bin"], work.path, log)
                # The GET capture is done and the POST capture is being written.
                wait_for(lambda: (work.path / "in.bin-http-get.pcap").exists()
                         and any(p.name.startswith(".tracemint-") for p in work.path.iterdir()))
                proc.send_signal(signal_number)
                proc.communicate(timeout=600)
                # Death by the signal: a shell reports 128 + its number.
                self.assertEqual(proc.returncode, -signal_number)
                self.assertEqual(sorted(p.name for p in work.path.iterdir()),
                                 ["in.bin", "in.bin-http-get.pcap", "strace.log"])
                verify.check_capture(str(work.path / "in.bin-http-get.pcap"))

    def test_signal_in_a_parallel_run_leaves_only_whole_captures(self):
        # With --jobs, captures wait unnamed for their turn, then each has its
        # stamps moved under a private name before it takes its own. Those
        # moves are slowed here (they are the main thread's only pwrite calls;
        # strace without -f follows that thread alone) so the signal comes
        # while one is under way.
        with verify.WorkDir() as work:
            names = [f"in{i}.bin" for i in range(4)]
            for i, name in enumerate(names):
                work.write(name, pattern_bytes(2_000_000, i))
            self.assertEqual(run(["-m", "h", *SEED, "--jobs", "1", *names], work.path)
                             .returncode, 0)
            whole = {p.name: p.read_bytes() for p in work.path.glob("*.pcap")}
            for name in whole:
                (work.path / name).unlink()
            log = work.path / "strace.log"
            proc = slowed("pwrite64", 40_000, ["-m", "h", *SEED, "--jobs", "2", *names],
                          work.path, log)
            wait_for(lambda: (work.path / "in0.bin-http-get.pcap").exists()
                     and any(p.name.startswith(".tracemint-") for p in work.path.iterdir()))
            proc.send_signal(signal.SIGTERM)
            proc.communicate(timeout=600)
            self.assertEqual(proc.returncode, -signal.SIGTERM)
            self.assertFalse([p.name for p in work.path.iterdir() if p.name.startswith(".")])
            left = {p.name: p.read_bytes() for p in work.path.glob("*.pcap")}
            self.assertIn("in0.bin-http-get.pcap", left)
            self.assertLess(len(left), len(names))
            for name, data in left.items():
                self.assertTrue(data == whole[name], f"{name} differs from the whole run's")


class ConcurrentRuns(unittest.TestCase):
    def test_sixteen_runs_writing_one_name_leave_one_of_their_captures(self):
        runs = 16
        with verify.WorkDir() as work:
            for i in range(runs):
                work.write(f"in{i}.bin", pattern_bytes(200_000 + 1000 * i, i))
            procs = [subprocess.Popen([TOOL, *SEED, "-o", "shared.pcap", f"in{i}.bin"],
                                      cwd=work.path, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                     for i in range(runs)]
            for proc in procs:
                out, err = proc.communicate(timeout=600)
                self.assertEqual((proc.returncode, err), (0, b""))
            shared = (work.path / "shared.pcap").read_bytes()
            expected = []
            for i in range(runs):
                self.assertEqual(run([*SEED, "-o", f"alone{i}.pcap", f"in{i}.bin"],
                                     work.path).returncode, 0)
                expected.append((work.path / f"alone{i}.pcap").read_bytes())
            self.assertIn(shared, expected)
            self.assertFalse([p.name for p in work.path.iterdir() if p.name.startswith(".")])


class StandardStreams(unittest.TestCase):
    def test_standard_input_and_output_work_with_a_capture_reader(self):
        data = pattern_bytes(100_000, 3)
        with verify.WorkDir() as work:
            # The reference: the same input in a file named like the stand-in.
            work.write("stdin", data)
            self.assertEqual(run([*SEED, "-o", "ref.pcap", "stdin"], work.path).returncode, 0)
            reference = (work.path / "ref.pcap").read_bytes()
            # (output name, how the input arrives)
            for out_name in ("-", "/dev/stdout"):
                for source in ("pipe", "file"):
                    with self.subTest(out=out_name, source=source):
                        stdin = open(work.path / "stdin", "rb") if source == "file" else None
                        proc = subprocess.run([TOOL, *SEED, "-o", out_name, "-"], cwd=work.path,
                                              input=data if stdin is None else None, stdin=stdin,
                                              capture_output=True, timeout=600)
                        if stdin:
                            stdin.close()
                        self.assertEqual(proc.returncode, 0, proc.stderr)
                        # Only the capture on standard output; the note on standard error.
                        self.assertEqual(proc.stdout, reference)
                        self.assertEqual(proc.stderr, f"Writing to {out_name}\n".encode())
            # Straight into tshark through a pipe.
            shell = f"'{TOOL}' {' '.join(SEED)} -m F -o - - < stdin | tshark -r - -n -q -z follow,tcp,raw,1"
            proc = subprocess.run(["sh", "-c", shell], cwd=work.path, capture_output=True,
                                  timeout=600)
            self.assertEqual(proc.returncode, 0, proc.stderr)
            carried = b"".join(bytes.fromhex(line.strip()) for line in proc.stdout.decode().splitlines()
                               if line.startswith("\t"))
            self.assertEqual(carried, data)
            self.assertEqual(sorted(p.name for p in work.path.iterdir()), ["ref.pcap", "stdin"])

    def test_standard_output_that_takes_nothing_is_a_failure(self):
        with verify.WorkDir() as work:
            work.write("in.bin", b"x" * 1000)
            for args in (["in.bin"], ["--help"], ["-o", "-", "in.bin"]):
                with self.subTest(args=args), open("/dev/full", "wb") as full:
                    proc = subprocess.run([TOOL, *args], cwd=work.path, stdout=full,
                                          stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                                          timeout=600)
                    self.assertEqual(proc.returncode, 255)
                    self.assertRegex(proc.stderr.decode(), r"Error: [^\n]*: No space left on device\n\Z")
            self.assertEqual(sorted(p.name for p in work.path.iterdir()), ["in.bin"])


class CorpusRecipe(unittest.TestCase):
    def test_the_readmes_corpus_recipe_shows_errors_and_goes_on(self):
        readme = (verify.REPO_ROOT / "README.md").read_text().splitlines()
        start = readme.index("    mkdir -p captures")
        recipe = []
        for line in readme[start:]:
            if not line.startswith("    "):
                break
            recipe.append(line[4:])
        with verify.WorkDir() as work:
            work.write("corpus/a.bin", pattern_bytes(5000, 4))
            # Too long for the URL path of the HTTP modes: this run fails.
            work.write("corpus/" + "n" * 246, b"data")
            work.write("corpus/c.bin", pattern_bytes(7000, 5))
            env = {**os.environ, "PATH": f"{os.path.dirname(TOOL)}:{os.environ['PATH']}"}
            proc = subprocess.run(["sh", "-c", "\n".join(recipe)], cwd=work.path, env=env,
                                  capture_output=True, timeout=600)
            self.assertEqual(proc.returncode, 123, proc.stderr)
            self.assertEqual(proc.stdout, b"")
            self.assertEqual(proc.stderr.decode(),
                             f"Error: {'n' * 246}: URL encoder: Filename too long\n")
            for name in ("a.bin", "c.bin"):
                written = sorted(p.name for p in (work.path / "captures" / name).iterdir())
                self.assertEqual(written, sorted(f"{name}-{s}.pcap" for s in
                                                 ("http-get", "http2-get", "smtp", "ftp-active")))
            self.assertEqual(list((work.path / "captures" / ("n" * 246)).iterdir()), [])


class FtpName(unittest.TestCase):
    def test_line_feed_in_the_name_never_starts_another_command(self):
        name = "a\nDELE important.txt"
        with verify.WorkDir() as work:
            work.write(name, b"payload\n")
            for mode in ("f", "F"):
                with self.subTest(mode=mode):
                    proc = run(["-m", mode, "-o", "out.pcap", name], work.path)
                    self.assertEqual(proc.returncode, 0, proc.stderr)
                    rows = verify.tshark_fields(str(work.path / "out.pcap"),
                                                ["ftp.request.command", "ftp.request.arg"],
                                                "ftp.request")
                    commands = [row[0] for row in rows]
                    self.assertNotIn("DELE", commands)
                    self.assertIn(["RETR", "a%0ADELE important.txt"], rows)


if __name__ == "__main__":
    unittest.main()
