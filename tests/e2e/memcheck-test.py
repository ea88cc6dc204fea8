"""One capture per mode under valgrind's memcheck: no invalid access, no use of
uninitialised memory, no leak. Skipped in a sanitizer build, where valgrind
cannot run, and when valgrind is missing."""

import os
import shutil
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from verify import WorkDir, check_capture, tool_path  # noqa: E402

MODE_OPTIONS = [["-m", "h", "--http-encoder", "3"], ["-m", "H"], ["-m", "x"],
                ["-m", "s", "-e", "1"], ["-m", "p", "-e", "2"], ["-m", "i"],
                ["-m", "f"], ["-m", "F", "-6"]]
INPUT = bytes(range(256)) * 20 + b".dot at a line start\n" * 10


class Memcheck(unittest.TestCase):
    def test_every_mode_runs_clean_under_memcheck(self):
        if os.environ.get("TRACEMINT_SANITIZED") == "1":
            self.skipTest("the sanitizer build checks memory itself")
        if not shutil.which("valgrind"):
            self.skipTest("valgrind is not installed")
        for options in MODE_OPTIONS:
            with self.subTest(options=options), WorkDir() as work:
                work.write("in.bin", INPUT)
                proc = subprocess.run(
                    ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
                     "--show-leak-kinds=all", "--errors-for-leak-kinds=all", "--track-fds=no",
                     str(tool_path()), *options, "-o", "out.pcap", "in.bin"],
                    cwd=work.path, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                    timeout=600)
                self.assertEqual(proc.returncode, 0, proc.stderr[-4000:])
                self.assertIn("ERROR SUMMARY: 0 errors", proc.stderr)
                check_capture(str(work.path / "out.pcap"))


if __name__ == "__main__":
    unittest.main()
