"""Eight runs at once in one working directory, each on its own input, as users
run the tool from scripts: every capture is clean for tshark and carries exactly
its own input, whatever the others do at the same time."""

import os
import random
import runpy
import subprocess
import sys
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import verify  # noqa: E402

# The extraction helpers of the protocol tests.
MAIL = runpy.run_path(str(HERE / "mail-test.py"))
FTP = runpy.run_path(str(HERE / "ftp-test.py"))

ENCODINGS = {0: "base64", 1: "quoted-printable", 2: "uu"}

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


def extracted(work, name, options, pcap):
    mode = options[1]
    if mode == "h":
        objects = verify.export_http_objects(str(pcap))
        assert len(objects) == 1, f"{pcap.name}: exported {len(objects)} objects"
        return next(iter(objects.values()))
    if mode == "x":
        rows = verify.tshark("-r", str(pcap), "-n", "-Y", "http2.body.reassembled.data", "-T",
                             "fields", "-e", "http2.body.reassembled.data").splitlines()
        assert len(rows) == 1, f"{pcap.name}: {len(rows)} reassembled bodies"
        return bytes.fromhex(rows[0])
    if mode in "spi":
        encoding = int(options[3])
        if mode == "i":
            _, server = verify.tcp_stream_bytes(str(pcap))
            mail = MAIL["imap_literal"](server)
        else:
            mail = MAIL["unstuff"](MAIL["export_mail"](str(pcap), work))
        return MAIL["attachment_of"](mail, encoding, name)
    # FTP: the data connection is the second TCP stream; the server opens it in
    # active mode, the client in passive mode.
    opener, other = verify.tcp_stream_bytes(str(pcap), stream=1)
    return opener if mode == "f" else other


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
                    data = extracted(work, name, options, pcap)
                    self.assertTrue(data == contents[name],
                                    f"{pcap.name}: {len(data)} bytes, input {len(contents[name])}")


if __name__ == "__main__":
    unittest.main()
