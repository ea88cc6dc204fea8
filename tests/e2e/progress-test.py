"""The progress line: shown on a terminal for large inputs, never on standard
output, never when standard error is redirected, and erased at the end."""

import os
import pty
import resource
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from verify import WorkDir, tool_path  # noqa: E402

ERASE = b"\x1b[K"
MIB = 1 << 20


def run_with_stderr_on_terminal(args, cwd, **options):
    """Runs the tool with standard error on a pseudo-terminal; returns
    (status, stdout, what the terminal received)."""
    master, slave = pty.openpty()
    try:
        proc = subprocess.run([str(tool_path()), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=slave, timeout=600, **options)
    finally:
        os.close(slave)
    seen = b""
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:  # the other side is closed: everything has been read
            break
        if not data:
            break
        seen += data
    os.close(master)
    return proc.returncode, proc.stdout, seen


class ProgressLine(unittest.TestCase):
    def make_input(self, d, size):
        path = d / "big.bin"
        with open(path, "wb") as f:
            f.truncate(size)  # sparse: cheap to make, still read byte by byte
        return path

    def test_large_input_on_a_terminal_shows_and_erases_the_line(self):
        for modes, names in [("h", ["big.bin-http-get.pcap"]),
                             ("hH", ["big.bin-http-get.pcap", "big.bin-http-post.pcap"])]:
            with self.subTest(modes=modes), WorkDir() as work:
                d = work.path
                self.make_input(d, 64 * MIB)
                status, out, terminal = run_with_stderr_on_terminal(["-m", modes, "big.bin"], d)
                self.assertEqual(status, 0)
                self.assertEqual(out.decode(), "".join(f"Writing to {n}\n" for n in names))
                text = terminal.decode()
                for name in names:
                    self.assertRegex(text, rf"\r{name}: [0-9.]+ of 64\.0 MiB \(\d+%\), [0-9.]+ MiB/s")
                # Every drawing is erased before the run ends.
                self.assertTrue(terminal.endswith(b"\r" + ERASE), terminal[-80:])

    def test_nothing_for_small_inputs_or_redirected_standard_error(self):
        with WorkDir() as work:
            d = work.path
            self.make_input(d, 64 * MIB - 1)
            status, out, terminal = run_with_stderr_on_terminal(["big.bin"], d)
            self.assertEqual((status, terminal), (0, b""))
        with WorkDir() as work:
            d = work.path
            self.make_input(d, 64 * MIB)
            proc = subprocess.run([str(tool_path()), "big.bin"], cwd=d, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=600)
            self.assertEqual(proc.returncode, 0)
            self.assertEqual(proc.stderr, b"")
            self.assertEqual(proc.stdout, b"Writing to big.bin-http-get.pcap\n")

    def test_an_error_erases_the_line_before_the_message(self):
        with WorkDir() as work:
            d = work.path
            self.make_input(d, 64 * MIB)
            status, out, terminal = run_with_stderr_on_terminal(["-o", "/dev/full", "big.bin"], d)
            self.assertEqual(status, 255)
            self.assertEqual(out, b"Writing to /dev/full\n")
            # The message is the last thing on the terminal, after the erased line.
            message = b"Error: /dev/full: No space left on device\r\n"
            self.assertTrue(terminal.endswith(message), terminal[-80:])
            before = terminal[:-len(message)]
            self.assertTrue(before == b"" or before.endswith(b"\r" + ERASE), terminal[-80:])

    def test_endless_input_shows_progress_and_ends_with_one_error_when_the_disk_fills(self):
        # /dev/zero is read like a pipe into a temporary file; a file size limit
        # stands in for a full disk.
        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (96 * MIB, 96 * MIB))

        with WorkDir() as work:
            d = work.path
            (d / "tmp").mkdir()
            status, out, terminal = run_with_stderr_on_terminal(
                ["-o", "out.pcap", "/dev/zero"], d, preexec_fn=limit,
                env={**os.environ, "TMPDIR": str(d / "tmp")})
            self.assertEqual(status, 255)
            self.assertEqual(out, b"")
            text = terminal.decode()
            self.assertRegex(text, r"\r/dev/zero: [0-9.]+ MiB read, [0-9.]+ MiB/s")
            message = "Error: temporary copy of /dev/zero: File too large\r\n"
            self.assertTrue(text.endswith("\r\x1b[K" + message), text[-120:])
            self.assertEqual(text.count("Error: "), 1)
            self.assertEqual(sorted(p.name for p in d.rglob("*")), ["tmp"])


if __name__ == "__main__":
    unittest.main()
