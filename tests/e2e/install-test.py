"""`cmake --install` puts the binary and the manual page in place, and the
manual page documents every option the program accepts."""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from verify import REPO_ROOT  # noqa: E402

MAN_PAGE = REPO_ROOT / "man" / "tracemint.1"


def accepted_long_options():
    """The long options as the parser's table declares them."""
    source = (REPO_ROOT / "src" / "driver" / "command-line.cpp").read_text()
    return sorted(set(re.findall(r'^\s*\{"([a-z0-9-]+)",', source, re.M)))


class Install(unittest.TestCase):
    def test_install_puts_binary_and_manual_page_under_the_prefix(self):
        build_dir = os.environ.get("TRACEMINT_BUILD_DIR")
        if not build_dir:
            self.skipTest("TRACEMINT_BUILD_DIR is set when CTest runs this")
        with tempfile.TemporaryDirectory(prefix="tracemint-install-") as prefix:
            subprocess.run(["cmake", "--install", build_dir, "--prefix", prefix],
                           check=True, capture_output=True, timeout=120)
            binary = Path(prefix) / "bin" / "tracemint"
            page = Path(prefix) / "share" / "man" / "man1" / "tracemint.1"
            self.assertTrue(os.access(binary, os.X_OK))
            self.assertEqual(page.read_bytes(), MAN_PAGE.read_bytes())
            out = subprocess.run([str(binary), "--version"], capture_output=True, text=True)
            self.assertEqual(out.stdout, "tracemint 1.29\n")

    def test_manual_page_names_every_option_mode_and_status(self):
        text = MAN_PAGE.read_text().replace("\\-", "-")
        options = accepted_long_options()
        self.assertIn("block-size", options)  # the table was found
        for option in options:
            self.assertIn(f"--{option}", text)
        for short in ["-m", "-o", "-p", "-e", "-6", "-v", "-h"]:
            self.assertIn(short, text)
        for suffix in ["-http-get.pcap", "-http-post.pcap", "-http2-get.pcap", "-smtp.pcap",
                       "-pop3.pcap", "-imap.pcap", "-ftp-active.pcap", "-ftp-passive.pcap"]:
            self.assertIn(suffix, text)
        for status in ["0", "2", "255"]:
            self.assertRegex(text, rf"\.B {status}\n")

    def test_manual_page_renders_without_warnings(self):
        if not shutil.which("groff"):
            self.skipTest("groff is not installed")
        proc = subprocess.run(["groff", "-t", "-man", "-Tutf8", "-ww", "-z", str(MAN_PAGE)],
                              capture_output=True, text=True, timeout=60)
        self.assertEqual((proc.returncode, proc.stderr), (0, ""))


if __name__ == "__main__":
    unittest.main()
