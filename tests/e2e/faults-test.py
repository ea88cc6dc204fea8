"""Output faults in every mode: a full device, a working directory where nothing
can be created, a capture path in a directory that does not exist, and a disk
that fills up in the middle of a capture. Each run ends with exactly one
"Error: " line on standard error that names the file and the reason, status
255, and no capture under the capture's name."""

import os
import resource
import signal
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from verify import WorkDir, tool_path  # noqa: E402

# One row per mode letter and the suffix of its capture.
MODES = [("h", "-http-get.pcap"), ("H", "-http-post.pcap"), ("x", "-http2-get.pcap"),
         ("s", "-smtp.pcap"), ("p", "-pop3.pcap"), ("i", "-imap.pcap"),
         ("f", "-ftp-active.pcap"), ("F", "-ftp-passive.pcap")]
INPUT = bytes(range(256)) * 40  # ten kilobytes, every byte value


def run(args, cwd, file_size_limit=None):
    def limit():
        if file_size_limit is not None:
            # Past the limit write() fails with EFBIG instead of killing the process.
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))

    return subprocess.run([str(tool_path()), *args], cwd=cwd, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace", timeout=600,
                          preexec_fn=limit)


class OutputFaults(unittest.TestCase):
    def assertOneError(self, proc, *texts):
        self.assertEqual(proc.returncode, 255, proc.stderr)
        errors = proc.stderr.splitlines()
        self.assertEqual(len(errors), 1, proc.stderr)
        self.assertTrue(errors[0].startswith("Error: "), errors)
        self.assertNotIn("Error", proc.stdout)
        for text in texts:
            self.assertIn(text, errors[0])

    def test_capture_that_cannot_be_created_or_written(self):
        for mode, suffix in MODES:
            with self.subTest(mode=mode), WorkDir() as work:
                infile = work.write("in.bin", INPUT)
                # A device that is always full.
                proc = run(["-m", mode, "-o", "/dev/full", "in.bin"], work.path)
                self.assertOneError(proc, "/dev/full", "No space left on device")
                # A directory that does not exist.
                proc = run(["-m", mode, "-o", "nodir/out.pcap", "in.bin"], work.path)
                self.assertOneError(proc, "nodir/out.pcap", "No such file or directory")
                # A working directory where nothing can be created, not even by
                # root; the default name is used.
                proc = run(["-m", mode, str(infile)], "/proc")
                self.assertOneError(proc, "in.bin" + suffix)
                self.assertEqual(sorted(p.name for p in work.path.iterdir()), ["in.bin"])

    def test_disk_that_fills_up_midway_leaves_no_capture(self):
        # The limit falls inside the first buffer flush, whatever the mode.
        limit = 6000
        for mode, suffix in MODES:
            with self.subTest(mode=mode), WorkDir() as work:
                work.write("in.bin", INPUT)
                proc = run(["-m", mode, "in.bin"], work.path, file_size_limit=limit)
                name = "in.bin" + suffix
                self.assertOneError(proc, name, "File too large")
                # Neither the capture cut short nor its temporary name is left.
                self.assertEqual(sorted(p.name for p in work.path.iterdir()), ["in.bin"])


if __name__ == "__main__":
    unittest.main()
