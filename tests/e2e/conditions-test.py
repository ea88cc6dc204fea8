"""The path between the hosts: reordering, duplicates, IP fragments, texts
cut into small segments, loss behind the capture point and overlapping
retransmissions. A sound receiver survives each of them, so for every
mode, over IPv4 and IPv6, tshark (reassembling out-of-order segments and
fragments, validating checksums) must pull out the identical file, with no
malformed packet and no expert note that the condition does not explain."""

import os
import random
import re
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import extract  # noqa: E402
import verify  # noqa: E402

# tshark reads its preferences from here (every export and follow below needs
# them): out-of-order reassembly and checksum validation on.
PREFERENCES = """\
tcp.reassemble_out_of_order: TRUE
tcp.check_checksum: TRUE
ip.check_checksum: TRUE
ip.defragment: TRUE
ipv6.defragment: TRUE
"""

MODES = ["h", "h2", "H", "s", "p", "i", "f", "F"]

# Expert notes of warning severity that a condition explains: a reordered
# segment leaves a gap until it comes, then arrives as out of order (or, after
# the receiver's duplicate ACKs, as a fast retransmission); a duplicate looks
# like a retransmission. Fragments and split texts explain none.
GAP = r"Previous segment\(s\) not captured"
RETRANSMISSION = r"\(suspected\) (fast |spurious )?retransmission"
OUT_OF_ORDER = r"(suspected\) )?out-of-order"
# tshark's FTP dissector reads each segment as whole lines, so an EPRT or
# EPSV text cut into pieces is flagged as malformed there.
FTP_LINES = r"(EPRT|EPSV) arguments must have the form"
CONDITIONS = {
    "reorder": (["--reorder", "0.1"], [GAP, RETRANSMISSION, OUT_OF_ORDER]),
    "duplicate": (["--duplicate", "0.1"], [RETRANSMISSION]),
    "fragment": (["--fragment", "256:shuffle"], []),
    "split-texts": (["--split-texts", "7"], [FTP_LINES]),
    "loss": (["--loss", "0.1"], [RETRANSMISSION, OUT_OF_ORDER]),
    "overlap": (["--overlap", "0.1"], [RETRANSMISSION, OUT_OF_ORDER]),
}
MATRIX = list(CONDITIONS)
# Further shapes, on fewer modes: deeper reordering, small fragments in order.
EXTRA_CASES = [
    ("h", False, "reorder-deep"), ("s", True, "reorder-deep"),
    ("H", True, "fragment-small"), ("i", False, "fragment-small"),
]
CONDITIONS["reorder-deep"] = (["--reorder", "0.25:8"], [GAP, RETRANSMISSION, OUT_OF_ORDER])
CONDITIONS["fragment-small"] = (["--fragment", "64"], [])
# Loss with the TCP options on: the duplicate ACKs carry SACK blocks.
CONDITIONS["loss-sack"] = (["--loss", "0.15", "--tcp-options"], [RETRANSMISSION, OUT_OF_ORDER])
EXTRA_CASES += [("h", True, "loss-sack"), ("F", False, "loss-sack")]

# Small enough to keep the suite quick, large enough for many segments.
CONTENT = random.Random(1301).randbytes(16_000)
NAME = "payload.bin"


def unexplained_problems(pcap, allowed):
    problems = []
    for line in verify.tshark(
        "-r", pcap, "-n", *verify.CHECKSUM_PREFS, "-Y", verify.PROBLEM_FILTER, "-T", "fields",
        "-E", "separator=\t", "-E", "occurrence=a", "-e", "frame.number", "-e", "_ws.expert.message",
        "-e", "_ws.malformed", "-e", "ip.checksum.status", "-e", "tcp.checksum.status",
    ).splitlines():
        number, messages, malformed, ip_sum, tcp_sum = (line.split("\t") + [""] * 5)[:5]
        if "0" in ip_sum.split(",") or "0" in tcp_sum.split(","):
            problems.append(f"frame {number}: bad checksum")
        explained = [m for m in messages.split(",") if any(re.search(p, m, re.IGNORECASE) for p in allowed)]
        if malformed and not explained:
            problems.append(f"frame {number}: malformed ({messages})")
        for message in messages.split(","):
            if message and message not in explained and is_warning(message):
                problems.append(f"frame {number}: {message}")
    return problems


# Notes of chat or note severity that the problem filter also lists on a
# frame with a warning: the handshake, the protocol's first lines and the
# like, never a fault.
HARMLESS = [r"^Connection (establish|finish)", r"^This frame (initiates|undergoes)",
            r"Duplicate ACK", r"\\r\\n$", r"^[A-Z]", r"window update"]


def is_warning(message):
    return not any(re.search(p, message) for p in HARMLESS) or re.search(
        GAP + "|retransmission|out-of-order|ACKed|malformed|checksum|zero window|window full",
        message, re.IGNORECASE)


def carried_file(work, argv, pcap):
    if extract.option_value(argv, "-m", "h") != "p":
        return extract.carried_file(work, NAME, argv, pcap)
    # tshark's POP dissector decides per packet whether it carries a reply
    # line or message data, so a reply line that arrives together with the
    # start of the message (after reordering) hides the message from its
    # export. The mail is taken from the reassembled TCP stream instead.
    _, server = verify.tcp_stream_bytes(str(pcap))
    start = server.index(b" octets\r\n") + len(b" octets\r\n")
    mail = extract.MAIL["unstuff"](server[start:])
    return extract.MAIL["attachment_of"](mail, 0, NAME)


class ConditionsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.config = tempfile.TemporaryDirectory(prefix="tracemint-wsconf-")
        Path(cls.config.name, "preferences").write_text(PREFERENCES)
        os.environ["WIRESHARK_CONFIG_DIR"] = cls.config.name

    @classmethod
    def tearDownClass(cls):
        cls.config.cleanup()

    def run_case(self, mode, ipv6, condition):
        options, allowed = CONDITIONS[condition]
        argv = ["-m", mode, "--seed", "5", *options, *(["-6"] if ipv6 else [])]
        with verify.WorkDir() as work:
            work.write(NAME, CONTENT)
            out = f"{condition}-{mode}{'-6' if ipv6 else ''}.pcap"
            work.run(*argv, "-o", out, NAME)
            pcap = work.path / out
            failures = [f"{p}" for p in unexplained_problems(str(pcap), allowed)]
            try:
                got = carried_file(work, argv, pcap)
            except AssertionError as error:
                failures.append(f"no file: {error}")
                return (mode, ipv6, condition, failures)
            if got != CONTENT:
                failures.append(f"file differs: {len(got)} octets back of {len(CONTENT)}")
            return (mode, ipv6, condition, failures)

    def test_every_mode_survives_every_condition(self):
        cases = [(m, v6, c) for c in MATRIX for m in MODES for v6 in (False, True)]
        cases += EXTRA_CASES
        with ThreadPoolExecutor(max_workers=4) as pool:
            results = list(pool.map(lambda case: self.run_case(*case), cases))
        for mode, ipv6, condition, failures in results:
            with self.subTest(mode=mode, ipv6=ipv6, condition=condition):
                self.assertEqual(failures[:10], [])

    def test_conditions_show_on_the_wire(self):
        """Each condition leaves the marks it should: held segments before
        later ones, repeated IP packets, fragments of at most SIZE octets with
        one identification per datagram, and texts in short segments."""
        with verify.WorkDir() as work:
            work.write(NAME, CONTENT)
            for ipv6 in (False, True):
                v6 = ["-6"] if ipv6 else []
                work.run("-m", "h", "--seed", "2", "--reorder", "0.3", *v6, "-o", "r.pcap", NAME)
                rows = verify.tshark_fields("r.pcap" and str(work.path / "r.pcap"),
                                            ["tcp.seq_raw", "tcp.len"], "tcp.srcport == 80 && tcp.len > 0")
                seqs = [int(s) for s, _ in rows]
                self.assertNotEqual(seqs, sorted(seqs), "no segment was reordered")

                work.run("-m", "h", "--seed", "2", "--duplicate", "0.3", *v6, "-o", "d.pcap", NAME)
                id_field = "ipv6.plen" if ipv6 else "ip.id"
                rows = verify.tshark_fields(str(work.path / "d.pcap"),
                                            ["tcp.seq_raw", "tcp.len", id_field], "tcp.len > 0")
                seen = {}
                repeats = 0
                for row in rows:
                    key = tuple(row)
                    repeats += key in seen
                    seen[key] = True
                self.assertGreater(repeats, 0, "no segment came twice, with the same IP packet")

                work.run("-m", "h", "--seed", "2", "--fragment", "96:reverse", *v6, "-o", "f.pcap", NAME)
                if ipv6:
                    fields = ["ipv6.fraghdr.offset", "ipv6.fraghdr.more", "ipv6.fraghdr.ident", "ipv6.plen"]
                    rows = verify.tshark_fields(str(work.path / "f.pcap"), fields, "ipv6.fraghdr")
                else:
                    fields = ["ip.frag_offset", "ip.flags.mf", "ip.id", "ip.len"]
                    rows = verify.tshark_fields(str(work.path / "f.pcap"), fields, "ip.flags.mf == 1 || ip.frag_offset > 0")
                self.assertTrue(rows)
                by_id = {}
                for offset, more, ident, length in rows:
                    by_id.setdefault(ident, []).append((int(offset), more in ("1", "True")))
                    payload = int(length) - (8 if ipv6 else 20)
                    self.assertLessEqual(payload, 96)
                for ident, parts in by_id.items():
                    # Reverse order: the last fragment (no More Fragments) first.
                    self.assertFalse(parts[0][1], f"id {ident}: {parts}")
                    self.assertEqual([o for o, _ in parts], sorted((o for o, _ in parts), reverse=True))
                    self.assertEqual(parts[-1][0], 0)

                work.run("-m", "s", "--seed", "2", "--split-texts", "4", *v6, "-o", "t.pcap", NAME)
                rows = verify.tshark_fields(str(work.path / "t.pcap"), ["tcp.len"], "tcp.srcport == 25 && tcp.len > 0")
                self.assertTrue(rows)
                self.assertTrue(all(int(n) <= 4 for (n,) in rows), rows[:5])

    def test_loss_shows_duplicate_acks_then_the_retransmission(self):
        with verify.WorkDir() as work:
            work.write(NAME, CONTENT)
            work.run("-m", "h", "--seed", "4", "--loss", "0.2", "--tcp-options", "--block-size", "300",
                     "-o", "l.pcap", NAME)
            pcap = str(work.path / "l.pcap")
            rows = verify.tshark_fields(pcap, ["tcp.seq_raw", "tcp.len", "tcp.ack_raw", "tcp.options.sack_le",
                                               "tcp.srcport"])
            sent = [(int(seq), int(n)) for seq, n, _, _, port in rows if port == "80" and int(n) > 0]
            repeated = {key for key in sent if sent.count(key) > 1}
            self.assertTrue(repeated, "no segment was sent twice")
            self.assertTrue(any(sack for *_, sack, port in rows if port != "80"), "no SACK block")
            fast = verify.count_frames(pcap, "tcp.analysis.fast_retransmission")
            self.assertGreater(fast, 0)

    def test_capture_gap_leaves_acked_unseen_segments_and_a_file_with_holes(self):
        for mode in ("h", "s"):
            with self.subTest(mode=mode), verify.WorkDir() as work:
                work.write(NAME, CONTENT)
                argv = ["-m", mode, "--seed", "6", "--capture-gap", "0.1"]
                work.run(*argv, "-o", "g.pcap", NAME)
                pcap = str(work.path / "g.pcap")
                self.assertGreater(verify.count_frames(pcap, "tcp.analysis.ack_lost_segment"), 0)
                allowed = [GAP, r"ACKed segment that wasn't captured"]
                self.assertEqual(unexplained_problems(pcap, allowed), [])
                try:
                    got = carried_file(work, argv, pcap)
                except (AssertionError, ValueError):
                    got = None
                self.assertNotEqual(got, CONTENT)

    def test_same_seed_same_capture_and_no_op_conditions_change_nothing(self):
        with verify.WorkDir() as work:
            work.write(NAME, CONTENT)

            def capture(*options):
                work.run("-m", "s", *options, "-o", "c.pcap", NAME)
                return (work.path / "c.pcap").read_bytes()

            every = ["--reorder", "0.1", "--duplicate", "0.1", "--fragment", "256:shuffle", "--split-texts", "9",
                     "--loss", "0.1", "--overlap", "0.1", "--capture-gap", "0.05"]
            first = capture("--seed", "8", *every)
            self.assertEqual(first, capture("--seed", "8", *every))
            self.assertNotEqual(first, capture("--seed", "9", *every))
            # Conditions that touch nothing leave the default capture as it was.
            plain = capture("--seed", "8")
            self.assertEqual(plain, capture("--seed", "8", "--reorder", "0", "--duplicate", "0", "--loss", "0",
                                            "--capture-gap", "0", "--overlap", "0",
                                            "--fragment", "65528", "--split-texts", "65535"))

    def test_bad_values_are_refused(self):
        with verify.WorkDir() as work:
            work.write(NAME, b"x")
            for option, value in [("--reorder", "1.5"), ("--reorder", "0.1:0"), ("--reorder", "0.1:99"),
                                  ("--duplicate", "-1"), ("--fragment", "100"), ("--fragment", "0"),
                                  ("--fragment", "64:sideways"), ("--split-texts", "0"), ("--loss", "2"),
                                  ("--capture-gap", "x"), ("--overlap", "0.1:3")]:
                with self.subTest(option=option, value=value):
                    res = work.run(option, value, NAME, expect_status=2)
                    self.assertIn(option, res.stderr + res.stdout)


if __name__ == "__main__":
    unittest.main()
