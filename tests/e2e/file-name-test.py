"""An input whose name holds line ends, a lone dot line, quotes and spaces must
not break any protocol: in every mode the capture is clean and the receiver
gets the whole file, because the name is escaped wherever a raw line end or
quote would end the line, the quoted string or the mail early."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verify  # noqa: E402
from extract import carried_file  # noqa: E402

HOSTILE_NAME = 'a\r\n.\r\nQUIT\r\nb "q".bin'
CONTENT = bytes(range(256)) * 9 + b".line\r\n" * 20

RUNS = [(["-m", "h"], "-http-get.pcap"), (["-m", "H"], "-http-post.pcap"),
        (["-m", "x"], "-http2-get.pcap"), (["-m", "s", "-e", "0"], "-smtp.pcap"),
        (["-m", "s", "-e", "2"], "-smtp.pcap"), (["-m", "p", "-e", "1"], "-pop3.pcap"),
        (["-m", "i", "-e", "2"], "-imap.pcap"), (["-m", "f"], "-ftp-active.pcap"),
        (["-m", "F"], "-ftp-passive.pcap")]


class HostileFileName(unittest.TestCase):
    def test_every_mode_carries_the_file_whole(self):
        for options, suffix in RUNS:
            with self.subTest(options=options), verify.WorkDir() as work:
                work.write(HOSTILE_NAME, CONTENT)
                work.run(*options, "--seed", "3", HOSTILE_NAME)
                pcap = work.path / (HOSTILE_NAME + suffix)
                verify.check_capture(str(pcap))
                data = carried_file(work, HOSTILE_NAME, options, pcap)
                self.assertTrue(data == CONTENT, f"{len(data)} bytes, input {len(CONTENT)}")


if __name__ == "__main__":
    unittest.main()
