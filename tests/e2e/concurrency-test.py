"""Eight runs at once in one working directory, each on its own input, as users
run the tool from scripts: every capture is clean for tshark and carries exactly
its own input, whatever the others do at the same time."""

import os
import random
import subprocess
import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import verify  # noqa: E402

from extract import MAIL, carried_file  # noqa: E402

# (input name, options, capture suffix)
RUNS = [
    ("get.bin", ["-m", "h", "--http-encoder", "3"], "-http-get.pcap"),
    ("http2.bin", ["-m", "x"], "-http2-get.pcap"),
    ("smtp64.bin", ["-m", "s", "-e", "0"], "-smtp.pcap"),
    ("smtpuu.bin", ["-m", "s", "-e", "2"], "-smtp.pcap"),
    ("pop3qp.bin", ["-m", "p", "-e", "1"], "-pop3.pcap"),
    ("imapuu.bin", ["-m", "i", "-e", "2"], "-imap.pcap"),
    ("active.bin", ["-m", "f"], "-ftp-active.pcap"),
    ("passive.bin", ["-m", "F", "-6"], "-ftp-passive.pcap"),
]


def content_for(index):
    """Distinct inputs of different sizes, with text lines the mail encoders
    treat specially, so that a capture carrying another run's data is caught."""
    rng = random.Random(1000 + index)
    size = 150_000 + 37_123 * index
    return MAIL["mixed_content"](size, seed=1000 + index) if index % 2 else rng.randbytes(size)


class Concurrency(unittest.TestCase):
    def test_eight_runs_at_once_in_one_directory(self):
        with verify.WorkDir() as work:
            contents = {}
            for index, (name, _, _) in enumerate(RUNS):
                contents[name] = content_for(index)
                work.write(name, contents[name])
            procs = [subprocess.Popen([str(verify.tool_path()), *options, name], cwd=work.path,
                                      stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True)
                     for name, options, _ in RUNS]
            for proc, (name, options, suffix) in zip(procs, RUNS):
                out, err = proc.communicate(timeout=600)
                self.assertEqual(proc.returncode, 0, f"{name}: {out}{err}")
                self.assertEqual(out, f"Writing to {name}{suffix}\n")
            for name, options, suffix in RUNS:
                with self.subTest(run=" ".join(options)):
                    pcap = work.path / (name + suffix)
                    verify.check_capture(str(pcap))
                    data = carried_file(work, name, options, pcap)
                    self.assertTrue(data == contents[name],
                                    f"{pcap.name}: {len(data)} bytes, input {len(contents[name])}")


if __name__ == "__main__":
    unittest.main()
