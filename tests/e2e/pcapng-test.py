"""pcapng captures: chosen by --format or by the .pcapng suffix of -o, read by
tshark with their comments (the section's through capinfos, each packet's as
frame.comment with --annotate), carrying the same file as the pcap capture of
the same run in every mode, accepted by editcap and mergecap; --nanosecond
gives nanosecond stamps in both formats."""

import os
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verify  # noqa: E402
from extract import carried_file  # noqa: E402

CONTENT = bytes(range(256)) * 11 + b".dot line\r\n" * 5
DIRECTORY = "private-dir-k3"

RUNS = [["-m", "h"], ["-m", "h", "--http-encoder", "3"], ["-m", "H"], ["-m", "x"],
        ["-m", "s", "-e", "0"], ["-m", "s", "-e", "2"], ["-m", "p", "-e", "1"], ["-m", "i"],
        ["-m", "f"], ["-m", "F"]]


def run(args, check=True):
    proc = subprocess.run(args, capture_output=True, text=True, timeout=600)
    if check and proc.returncode != 0:
        raise AssertionError(f"{' '.join(args)} exited {proc.returncode}:\n{proc.stderr}")
    return proc


def capinfos(path):
    return run(["capinfos", str(path)]).stdout


class Pcapng(unittest.TestCase):
    def test_every_mode_carries_the_same_file_as_pcap_and_every_packet_is_annotated(self):
        for options in RUNS:
            with self.subTest(options=options), verify.WorkDir() as work:
                work.write(f"{DIRECTORY}/in.bin", CONTENT)
                common = [*options, "--seed", "6", "--name", "in.bin", f"{DIRECTORY}/in.bin"]
                work.run(*common, "-o", "plain.pcap")
                work.run(*common, "--annotate", "-o", "noted.pcapng")
                work.run(*common, "--format", "pcapng", "-o", "bare.cap")
                for name in ("plain.pcap", "noted.pcapng", "bare.cap"):
                    pcap = work.path / name
                    verify.check_capture(str(pcap))
                    data = carried_file(work, "in.bin", options, pcap)
                    self.assertTrue(data == CONTENT, f"{name}: {len(data)} bytes, input {len(CONTENT)}")

                plain = verify.read_pcap(work.path / "plain.pcap")
                noted = verify.read_pcapng(work.path / "noted.pcapng")
                bare = verify.read_pcapng(work.path / "bare.cap")
                # The same packets at the same times; only the container differs.
                self.assertEqual(noted.records, plain.records)
                self.assertEqual(bare.records, plain.records)
                self.assertTrue(all(len(c) == 1 and c[0] for c in noted.comments))
                self.assertTrue(all(c == [] for c in bare.comments))
                self.assertEqual(noted.comments[0], ["TCP handshake: SYN"])

                comments = verify.tshark_fields(str(work.path / "noted.pcapng"), ["frame.comment"])
                self.assertEqual([row[0] for row in comments], [c[0] for c in noted.comments])
                raw = (work.path / "noted.pcapng").read_bytes()
                self.assertNotIn(DIRECTORY.encode(), raw)

    def test_notes_speak_the_protocol(self):
        # (options, a regular expression that some packet's note must match)
        cases = [
            (["-m", "s", "-e", "0"], r"^SMTP DATA: attachment, base64, message 1 of \d+$"),
            (["-m", "s", "-e", "2"], r"^SMTP DATA: attachment, UU, message \d+ of \d+$"),
            (["-m", "p"], r"^POP3 RETR: attachment, base64, message \d+ of \d+$"),
            (["-m", "h"], r"^HTTP GET: response body, \d+ of \d+ bytes$"),
            (["-m", "x"], r"^HTTP/2 DATA: stream 1, \d+ bytes$"),
            (["-m", "x"], r"^HTTP/2 SETTINGS$"),
            (["-m", "F"], r"^FTP data: \d+ of \d+ bytes$"),
            (["-m", "h"], r"^TCP teardown: FIN from the server$"),
        ]
        for options, pattern in cases:
            with self.subTest(options=options, pattern=pattern), verify.WorkDir() as work:
                work.write("in.bin", CONTENT * 3)
                work.run(*options, "--annotate", "in.bin", "-o", "out.pcapng")
                notes = [c[0] for c in verify.read_pcapng(work.path / "out.pcapng").comments]
                self.assertTrue(any(re.search(pattern, n) for n in notes),
                                f"no note matches {pattern}: {sorted(set(notes))[:20]}")

    def test_segments_held_on_the_path_keep_their_own_notes(self):
        # Reordered, lost and overlapping segments leave the sender after it has
        # moved on to later notes; each must still say what it carries.
        known = re.compile(r"^(TCP (handshake|teardown|ACK|retransmission)[^\n]*"
                           r"|HTTP (client|server): [ -~]+"
                           r"|HTTP GET: response body, (?P<count>\d+) of 40000 bytes)$")
        with verify.WorkDir() as work:
            work.write("in.bin", bytes(range(256)) * 156 + bytes(64))
            work.run("-m", "h", "--seed", "8", "--reorder", "0.3", "--loss", "0.2", "--overlap",
                     "0.2", "--annotate", "in.bin", "-o", "out.pcapng")
            capture = verify.read_pcapng(work.path / "out.pcapng")
            self.assertGreater(len(capture.comments), 60)
            for notes in capture.comments:
                self.assertEqual(len(notes), 1)
                self.assertIsNotNone(known.match(notes[0]), notes[0])
            # A body segment's note counts the body up to its own last octet,
            # wherever it went on the path.
            rows = verify.tshark_fields(str(work.path / "out.pcapng"),
                                        ["tcp.seq", "tcp.len", "frame.comment"],
                                        'frame.comment contains "response body"')
            self.assertGreater(len(rows), 30)
            ends = {int(seq) + int(length) - int(known.match(note).group("count"))
                    for seq, length, note in rows}
            self.assertEqual(len(ends), 1, rows)

    def test_section_comment_names_tool_version_and_options_but_no_path(self):
        with verify.WorkDir() as work:
            work.write(f"{DIRECTORY}/in.bin", CONTENT)
            work.run("-m", "s", "--seed", "6", "--name", "evil.exe", f"{DIRECTORY}/in.bin", "-o",
                     str(work.path / DIRECTORY / "out.pcapng"))
            info = capinfos(work.path / DIRECTORY / "out.pcapng")
            self.assertIn("Capture comment:     tracemint 1.29, options: -m s --name evil.exe --seed 6",
                          info)
            self.assertNotIn(DIRECTORY, info.replace(str(work.path / DIRECTORY / "out.pcapng"), ""))
            self.assertIn("Capture application: tracemint 1.29", info)
            self.assertIn("Encapsulation = Ethernet (1 - ether)", info)

    def test_nanosecond_stamps_in_both_formats(self):
        with verify.WorkDir() as work:
            work.write("in.bin", CONTENT)
            work.run("-m", "h", "--seed", "2", "in.bin", "-o", "micro.pcap")
            work.run("-m", "h", "--seed", "2", "--nanosecond", "in.bin", "-o", "nano.pcap")
            work.run("-m", "h", "--seed", "2", "--nanosecond", "in.bin", "-o", "nano.pcapng")
            micro = verify.read_pcap(work.path / "micro.pcap")
            nano = verify.read_pcap(work.path / "nano.pcap")
            self.assertTrue(nano.nanosecond)
            self.assertEqual(nano.header[:4], bytes.fromhex("4d3cb2a1"))
            self.assertEqual([(s, f * 1000, o, d) for s, f, o, d in micro.records], nano.records)
            self.assertEqual(verify.read_pcapng(work.path / "nano.pcapng").records, nano.records)
            self.assertIn("Time precision = nanoseconds (9)", capinfos(work.path / "nano.pcapng"))
            times = {name: verify.tshark_fields(str(work.path / name), ["frame.time_epoch"])
                     for name in ("micro.pcap", "nano.pcap", "nano.pcapng")}
            self.assertEqual(times["micro.pcap"], times["nano.pcap"])
            self.assertEqual(times["micro.pcap"], times["nano.pcapng"])
            for name in ("nano.pcap", "nano.pcapng"):
                verify.check_capture(str(work.path / name))

    def test_editcap_and_mergecap_accept_the_captures(self):
        with verify.WorkDir() as work:
            work.write("in.bin", CONTENT)
            work.run("-m", "hs", "--seed", "3", "--annotate", "--format", "pcapng", "in.bin")
            get, smtp = work.path / "in.bin-http-get.pcapng", work.path / "in.bin-smtp.pcapng"
            run(["editcap", "-F", "pcapng", str(get), str(work.path / "edited.pcapng")])
            self.assertEqual(verify.read_pcapng(work.path / "edited.pcapng").records,
                             verify.read_pcapng(get).records)
            run(["mergecap", "-w", str(work.path / "merged.pcapng"), str(get), str(smtp)])
            merged = verify.read_pcapng(work.path / "merged.pcapng")
            self.assertEqual(len(merged.records),
                             len(verify.read_pcapng(get).records) + len(verify.read_pcapng(smtp).records))
            verify.check_capture(str(work.path / "merged.pcapng"))

    def test_format_choice(self):
        # (options, capture, pcapng expected)
        cases = [
            (["-o", "a.pcapng"], "a.pcapng", True),
            (["-o", "a.PCAPNG"], "a.PCAPNG", True),
            (["--format", "pcap", "-o", "a.pcapng"], "a.pcapng", False),
            (["--format", "pcapng", "-o", "a.pcap"], "a.pcap", True),
            (["--format", "pcapng"], "in.bin-http-get.pcapng", True),
            ([], "in.bin-http-get.pcap", False),
        ]
        for options, capture, pcapng in cases:
            with self.subTest(options=options), verify.WorkDir() as work:
                work.write("in.bin", CONTENT)
                work.run(*options, "in.bin")
                self.assertEqual(verify.is_pcapng(work.path / capture), pcapng)
        with verify.WorkDir() as work:
            work.write("in.bin", CONTENT)
            refused = work.run("--format", "pcap-ng", "in.bin", expect_status=2)
            self.assertIn("--format", refused.stdout + refused.stderr)
            self.assertEqual(sorted(p.name for p in work.path.iterdir()), ["in.bin"])


if __name__ == "__main__":
    unittest.main()
