"""Decoys: the sensor is shown other octets than the host keeps. For every
kind, every mode and both IP versions, an independent receiving host
(reassembly.py) reads the capture twice: once as the host the kind is made
for (its overlap policy, honouring TTL, checksums, the window and RST), which
must get exactly the streams of a plain capture of the same seed; and once as
a receiver of the other policy, or one that does not honour what the decoy
breaks, which must get the decoy: the same streams with the file's octets
altered. tshark reads every kind without a malformed packet."""

import os
import random
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import reassembly  # noqa: E402
import verify  # noqa: E402
from reassembly import Host  # noqa: E402

MODES = [["-m", "h"], ["-m", "h", "--http-encoder", "2"], ["-m", "h", "--http-encoder", "3"],
         ["-m", "h2"], ["-m", "H"], ["-m", "s"], ["-m", "p", "-e", "1"], ["-m", "i", "-e", "2"],
         ["-m", "f"], ["-m", "F"]]

# The host a kind is made for, and the receiver that sees the decoy. The host
# sits one router past the capture point (a TTL of 1 does not reach it).
KINDS = {
    "tcp-first": ([Host("last")], Host("first")),
    "tcp-last": ([Host("first")], Host("last")),
    "tcp-reordered": ([Host("last")], Host("first")),
    "frag-first": ([Host("last")], Host("first")),
    "frag-last": ([Host("first")], Host("last")),
    "ttl": ([Host("first"), Host("last")], Host("first", ttl=False)),
    "bad-checksum": ([Host("first"), Host("last")], Host("first", checksums=False)),
    "out-of-window": ([Host("first"), Host("last")], Host("last", window=False)),
    "after-rst": ([Host("first"), Host("last")], Host("last", window=False, rst=False)),
}

# Sixteen segments of 1200 octets or so: every one of them gets its decoy,
# the after-RST ones included (the last sixteen are kept for after the reset).
CONTENT = random.Random(1302).randbytes(14_000)
NAME = "payload.bin"


def decoy_octet(octet):
    """Letters rotated by 13, digits by 5, line ends, spaces and printable
    punctuation kept, every other octet with its top bit flipped."""
    if 65 <= octet <= 90:
        return 65 + (octet - 65 + 13) % 26
    if 97 <= octet <= 122:
        return 97 + (octet - 97 + 13) % 26
    if 48 <= octet <= 57:
        return 48 + (octet - 48 + 5) % 10
    if octet in (13, 10) or 32 <= octet < 127:
        return octet
    return octet ^ 0x80


def streams(pcap, host):
    return [conn.streams() for conn in reassembly.reassemble(str(pcap), host)]


def compare_with_decoy(plain, seen):
    """How many octets differ from the plain streams, and how many of those
    are the decoy's alteration; None when the streams do not line up."""
    if len(plain) != len(seen):
        return None
    changed = altered = 0
    for plain_conn, seen_conn in zip(plain, seen):
        for a, b in zip(plain_conn, seen_conn):
            if len(a) != len(b):
                return None
            for x, y in zip(a, b):
                if x != y:
                    changed += 1
                    altered += y == decoy_octet(x)
    return changed, altered


class DecoysTest(unittest.TestCase):
    def run_case(self, mode, ipv6, kind, extra=()):
        hosts, sensor = KINDS[kind]
        v6 = ["-6", *extra] if ipv6 else [*extra]
        failures = []
        with verify.WorkDir() as work:
            work.write(NAME, CONTENT)
            work.run(*mode, "--seed", "9", *v6, "-o", "plain.pcap", NAME)
            work.run(*mode, "--seed", "9", *v6, "--decoy", kind, "-o", "decoy.pcap", NAME)
            plain = streams(work.path / "plain.pcap", Host())
            for host in hosts:
                if streams(work.path / "decoy.pcap", host) != plain:
                    failures.append(f"the {host.policy}-wins host does not get the plain streams")
            result = compare_with_decoy(plain, streams(work.path / "decoy.pcap", sensor))
            if result is None:
                failures.append("the decoy's streams do not line up with the plain ones")
            else:
                changed, altered = result
                # Half a segment for the reordered kind; two adjusted octets
                # per fragment and an unaltered last fragment for the
                # fragment kinds.
                if changed < len(CONTENT) // 3:
                    failures.append(f"only {changed} octets of the decoy differ")
                if altered < changed * 0.95:
                    failures.append(f"{changed - altered} of {changed} changed octets are not the decoy's")
        return failures

    def test_the_host_gets_the_file_and_the_other_receiver_the_decoy(self):
        cases = [(m, v6, k) for k in KINDS for m in MODES for v6 in (False, True)]
        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(lambda case: (case, self.run_case(*case)), cases))
        for (mode, ipv6, kind), failures in results:
            with self.subTest(mode=" ".join(mode), ipv6=ipv6, kind=kind):
                self.assertEqual(failures, [])

    def test_decoys_among_the_other_conditions(self):
        """Delayed and timed ACKs (out-of-window decoys wait for them, several
        at a time), held and lost segments, duplicates, fragments of the
        user's size, VLAN tags."""
        cases = [
            (["-m", "h"], False, "out-of-window", ["--realistic", "--start-time", "1000"]),
            (["-m", "s"], True, "out-of-window", ["--rtt", "30", "--delayed-ack"]),
            (["-m", "h2"], False, "tcp-first", ["--reorder", "0.2", "--tcp-options"]),
            (["-m", "H"], True, "after-rst", ["--loss", "0.1", "--realistic", "--start-time", "1000"]),
            (["-m", "i"], False, "frag-last", ["--fragment", "256:shuffle"]),
            (["-m", "p"], True, "ttl", ["--duplicate", "0.2", "--vlan", "5"]),
            (["-m", "F"], False, "tcp-reordered", ["--split-texts", "5", "--overlap", "0.2"]),
        ]
        for mode, ipv6, kind, extra in cases:
            with self.subTest(mode=" ".join(mode), kind=kind, extra=" ".join(extra)):
                self.assertEqual(self.run_case(mode, ipv6, kind, extra), [])

    def test_a_decoy_text_runs_from_the_files_first_octet(self):
        """With --decoy-text, the receiver that takes the decoy finds the text
        over and over where the file's octets were, from the first one on;
        the host still gets the file."""
        text = b"X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
        # Where the file travels: HTTP's response (connection 0, from the
        # server); active FTP's data connection (connection 1, opened by the
        # server), from its first octet.
        for mode, conn, side in ((["-m", "h"], 0, 1), (["-m", "f"], 1, 0)):
            with self.subTest(mode=mode), verify.WorkDir() as work:
                work.write(NAME, CONTENT)
                work.run(*mode, "--seed", "3", "--decoy", "tcp-first", "--decoy-text", text.decode(),
                         "-o", "t.pcap", NAME)
                got = streams(work.path / "t.pcap", Host("last"))[conn][side]
                seen = streams(work.path / "t.pcap", Host("first"))[conn][side]
                start = got.index(CONTENT)
                self.assertEqual(len(got), start + len(CONTENT))
                repeated = (text * (len(CONTENT) // len(text) + 1))[: len(CONTENT)]
                self.assertEqual(seen[start:], repeated)
                self.assertEqual(seen[:start], got[:start])

    def test_a_share_of_the_segments_gets_a_decoy(self):
        """With P below 1, some of the file's segments carry a decoy and some
        do not; none of the other segments ever does."""
        with verify.WorkDir() as work:
            work.write(NAME, random.Random(5).randbytes(60_000))
            work.run("-m", "h", "--seed", "4", "--decoy", "tcp-last:0.5", "-o", "p.pcap", NAME)
            rows = verify.tshark_fields(str(work.path / "p.pcap"), ["tcp.seq_raw", "tcp.srcport"], "tcp.len > 0")
            counts = {}
            for seq, port in rows:
                counts[(seq, port)] = counts.get((seq, port), 0) + 1
            twice = sum(1 for n in counts.values() if n == 2)
            once = sum(1 for n in counts.values() if n == 1)
            self.assertTrue(all(n <= 2 for n in counts.values()))
            self.assertTrue(all(n == 1 for (_, port), n in counts.items() if port != "80"))
            self.assertGreater(twice, 10)
            self.assertGreater(once, 10)

    def test_same_seed_same_capture_and_other_seeds_differ(self):
        with verify.WorkDir() as work:
            work.write(NAME, CONTENT)
            for kind in ("tcp-first:0.5", "frag-last:0.5", "out-of-window:0.5", "after-rst:0.5"):
                with self.subTest(kind=kind):
                    for name, seed in (("a", "1"), ("b", "1"), ("c", "2")):
                        work.run("-m", "s", "--seed", seed, "--decoy", kind, "--fragment", "128:shuffle",
                                 "-o", f"{name}.pcap", NAME)
                    a, b, c = (Path(work.path / f"{n}.pcap").read_bytes() for n in "abc")
                    self.assertEqual(a, b)
                    self.assertNotEqual(a, c)


class TsharkReadsDecoysTest(unittest.TestCase):
    """tshark dissects every kind without a malformed packet. Its own
    reassembly (following a TCP stream, out-of-order segments and IP
    fragments put together) keeps the octets that arrived first and ignores
    TTL, checksums, windows and RST; of a segment that came out of order it
    keeps the in-order copy's octets, as a last-wins receiver does."""

    # tshark's view of each kind, as a receiver that honours nothing.
    TSHARK_VIEW = {kind: Host("last" if kind == "tcp-reordered" else "first", ttl=False,
                              checksums=False, window=False, rst=False) for kind in KINDS}

    @classmethod
    def setUpClass(cls):
        cls.config = tempfile.TemporaryDirectory(prefix="tracemint-wsconf-")
        Path(cls.config.name, "preferences").write_text(
            "tcp.reassemble_out_of_order: TRUE\nip.defragment: TRUE\nipv6.defragment: TRUE\n")
        os.environ["WIRESHARK_CONFIG_DIR"] = cls.config.name

    @classmethod
    def tearDownClass(cls):
        cls.config.cleanup()

    def test_every_kind_reads_cleanly(self):
        for kind in KINDS:
            for mode, v6 in ((["-m", "h"], []), (["-m", "s"], ["-6"])):
                with self.subTest(kind=kind, mode=mode, ipv6=bool(v6)), verify.WorkDir() as work:
                    work.write(NAME, CONTENT)
                    work.run(*mode, "--seed", "6", *v6, "--decoy", kind, "-o", "k.pcap", NAME)
                    pcap = str(work.path / "k.pcap")
                    self.assertEqual(verify.pcap_format_problems(pcap), [])
                    self.assertEqual(verify.count_frames(pcap, "_ws.malformed"), 0)
                    if mode == ["-m", "h"]:
                        followed = list(verify.tcp_stream_bytes(pcap))
                        self.assertEqual(followed, streams(pcap, self.TSHARK_VIEW[kind])[0])


if __name__ == "__main__":
    unittest.main()
