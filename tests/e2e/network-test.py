#!/usr/bin/env python3
"""The network under the conversation, end to end.

One table of captures: every mode and every encoding at least once, IPv4 and
IPv6, each network option alone and the --realistic preset. tshark reads each
capture once with checksum validation on, and that one pass must show no
malformed packet, no bad checksum and no expert item of warning severity or
above (sequence analysis: previous segment not captured, ACKed unseen segment,
window full, zero window), and the options dissected as they were set. The file
the capture carries is then pulled out the way a receiver would get it.

A second test runs every mode and encoding with and without the options that
only restate a default, and requires the same bytes.

Run: TRACEMINT=path/to/tracemint python3 tests/e2e/network-test.py -v
"""

import os
import random
import sys
import time
import unittest
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import verify  # noqa: E402

from extract import MAIL, carried_file  # noqa: E402

# Every mode, and every HTTP body and mail encoding at least once.
MODES = [
    ["-m", "h", "--http-encoder", "0"],
    ["-m", "H"],
    ["-m", "x"],
    ["-m", "s", "-e", "0"],
    ["-m", "h", "--http-encoder", "1"],
    ["-m", "p", "-e", "1"],
    ["-m", "f"],
    ["-m", "h", "--http-encoder", "2"],
    ["-m", "i", "-e", "2"],
    ["-m", "F"],
    ["-m", "h", "--http-encoder", "3"],
]

START = 1769860800  # 2026-01-31T12:00:00Z
CLIENT_MAC = "02:00:5e:10:00:01"
SERVER_MAC = "aa:bb:cc:dd:ee:ff"

# (name, options); what each must show is checked in NetworkOptions.check_options.
OPTIONS = [
    ("jumbo MTU", ["--mtu", "9000", "--block-size", "8900"]),
    ("smallest MTU", ["--mtu", "576"]),
    ("TCP options", ["--tcp-options"]),
    ("window", ["--window", "20000"]),
    ("random ISNs", ["--random-isn"]),
    ("delayed ACKs", ["--delayed-ack"]),
    ("start time", ["--start-time"]),  # ISO under IPv4, Unix seconds under IPv6
    ("round trip", ["--rtt", "20"]),
    ("rate", ["--rate", "10"]),
    ("TTL", ["--ttl", "128"]),
    ("MACs", ["--client-mac", CLIENT_MAC, "--server-mac", SERVER_MAC]),
    ("one VLAN tag", ["--vlan", "100"]),
    ("two VLAN tags", ["--vlan", "100,200"]),
]


def table():
    """(name, mode options, IP version, network options): each option alone
    under both IP versions, the modes in turn so that each meets both; then the
    preset in every mode, the IP versions alternating."""
    cases = []
    i = 0
    for name, options in OPTIONS:
        for version in (4, 6):
            if name == "start time":
                options = ["--start-time",
                           "2026-01-31T12:00:00Z" if version == 4 else str(START)]
            cases.append((name, MODES[i % len(MODES)], version, options))
            i += 1
    for j, mode in enumerate(MODES):
        cases.append(("realistic", mode, 4 if j % 2 == 0 else 6, ["--realistic"]))
    return cases


FIELDS = [
    "frame.number", "frame.time_epoch", "_ws.malformed", "_ws.expert.severity", "_ws.expert.message",
    "ip.checksum.status", "tcp.checksum.status", "tcp.stream", "tcp.srcport", "tcp.dstport",
    "tcp.flags", "tcp.len", "tcp.seq_raw", "tcp.ack_raw", "tcp.window_size_value", "tcp.options.mss_val",
    "tcp.options.wscale.shift", "tcp.options.sack_perm", "tcp.options.timestamp.tsval",
    "ip.src", "ipv6.src", "ip.ttl", "ipv6.hlim", "ip.len", "ipv6.plen", "eth.src", "eth.dst", "eth.type",
    "vlan.id", "vlan.etype", "ieee8021ad.id",
]
WARNING = 0x00600000  # expert severity of a warning; errors are above it
SYN, ACK = 0x02, 0x10


def read_frames(pcap):
    """The one tshark pass over a capture: a dict of fields per frame."""
    args = ["-r", pcap, "-n", *verify.CHECKSUM_PREFS, "-T", "fields", "-E", "separator=\t",
            "-E", "occurrence=a"]
    for name in FIELDS:
        args += ["-e", name]
    return [dict(zip(FIELDS, line.split("\t"))) for line in verify.tshark(*args).splitlines()]


def problems_of(frames):
    problems = []
    for f in frames:
        severities = [int(s) for s in f["_ws.expert.severity"].split(",") if s]
        bad = f["_ws.malformed"] or any(s >= WARNING for s in severities)
        bad = bad or "0" in (f["ip.checksum.status"], f["tcp.checksum.status"])
        if bad:
            problems.append(f"frame {f['frame.number']}: {f['_ws.expert.message'] or 'malformed or bad checksum'}")
    return problems


def mail_like(size, seed):
    return MAIL["mixed_content"](size, seed=seed)


class NetworkOptions(unittest.TestCase):
    maxDiff = None

    def run_case(self, work, index, case):
        name, mode, version, options = case
        # Tens of KiB: several full segments, and for the jumbo MTU several
        # jumbo ones; the mail modes get text lines their encoders treat apart.
        size = 30_000 + 977 * index
        data = mail_like(size, index) if mode[1] in "spi" else random.Random(index).randbytes(size)
        infile = f"in{index}.bin"
        work.write(infile, data)
        pcap = work.path / f"case{index}.pcap"
        args = [*mode, *(["-6"] if version == 6 else []), *options, "--seed", str(100 + index),
                "-o", pcap.name, infile]
        before = time.time()
        work.run(*args)
        after = time.time()
        frames = read_frames(str(pcap))
        carried = carried_file(work, infile, mode, pcap)
        return args, data, frames, verify.pcap_format_problems(pcap), carried, (before, after)

    def test_every_option_in_every_mode(self):
        cases = table()
        with verify.WorkDir() as work:
            with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
                results = list(pool.map(lambda ic: self.run_case(work, *ic), enumerate(cases)))
            for case, (args, data, frames, format_problems, carried, window) in zip(cases, results):
                with self.subTest(case=case[0], args=" ".join(args)):
                    self.assertEqual(format_problems, [])
                    self.assertEqual(problems_of(frames), [])
                    self.assertEqual(carried, data, "the file the capture carries")
                    self.check_options(case, frames, window)

    def check_options(self, case, frames, window):
        name, mode, version, options = case
        v6 = version == 6
        flags = [int(f["tcp.flags"], 16) for f in frames]
        syns = [f for f, fl in zip(frames, flags) if fl & SYN]
        times = [float(f["frame.time_epoch"]) for f in frames]
        ip_lengths = [int(f["ipv6.plen"]) + 40 if v6 else int(f["ip.len"]) for f in frames]
        self.assertEqual(times, sorted(times), "time runs forwards")

        if name == "jumbo MTU":
            self.assertLessEqual(max(ip_lengths), 9000)
            self.assertGreater(max(ip_lengths), 1500, "jumbo frames used")
        if name == "smallest MTU":
            self.assertLessEqual(max(ip_lengths), 576)
            self.assertEqual(max(ip_lengths), 576, "protocol texts and data cut to fill it")
        if name in ("TCP options", "realistic"):
            self.check_tcp_options(frames, syns, v6)
        if name == "window":
            self.assertEqual({f["tcp.window_size_value"] for f in frames}, {"20000"})
        if name in ("random ISNs", "realistic"):
            isns = [int(f["tcp.seq_raw"]) for f in syns]
            self.assertTrue(any(isn > 4096 for isn in isns), isns)
        if name in ("delayed ACKs", "realistic"):
            full = (1428 if v6 else 1448) if name == "realistic" else 1200
            self.check_delayed_acks(frames, flags, full)
        if name == "start time":
            self.assertEqual(frames[0]["frame.time_epoch"], f"{START}.000000000")
        if name == "realistic":
            before, after = window
            self.assertGreaterEqual(times[0], int(before), "starts now")
            self.assertLessEqual(times[0], after + 1, "starts now")
        if name == "round trip":
            self.assertAlmostEqual(times[1] - times[0], 0.010, places=6, msg="SYN-ACK")
            self.assertAlmostEqual(times[2] - times[1], 0.010, places=6, msg="ACK")
        if name == "rate":
            self.check_rate(frames, times, 10e6)
        if name == "TTL":
            field = "ipv6.hlim" if v6 else "ip.ttl"
            self.assertEqual({f[field] for f in frames}, {"128"})
        if name == "MACs":
            client_ip = "2001:db8::214:51ff:fe2f:1556" if v6 else "192.168.0.1"
            for f in frames:
                from_client = (f["ipv6.src"] if v6 else f["ip.src"]) == client_ip
                expected = (CLIENT_MAC, SERVER_MAC) if from_client else (SERVER_MAC, CLIENT_MAC)
                self.assertEqual((f["eth.src"], f["eth.dst"]), expected, f"frame {f['frame.number']}")
        if name == "one VLAN tag":
            self.assertEqual({(f["eth.type"], f["vlan.id"], f["ieee8021ad.id"]) for f in frames},
                             {("0x8100", "100", "")})
        if name == "two VLAN tags":
            self.assertEqual({(f["eth.type"], f["ieee8021ad.id"], f["vlan.id"], f["vlan.etype"])
                              for f in frames},
                             {("0x88a8", "100", "200", "0x86dd" if v6 else "0x0800")})
        if name not in ("one VLAN tag", "two VLAN tags"):
            self.assertEqual({f["eth.type"] for f in frames}, {"0x86dd" if v6 else "0x0800"})

    def check_tcp_options(self, frames, syns, v6):
        self.assertEqual({f["tcp.options.mss_val"] for f in syns}, {"1440" if v6 else "1460"})
        self.assertEqual({f["tcp.options.wscale.shift"] for f in syns}, {"6"})
        self.assertTrue(all(f["tcp.options.sack_perm"] for f in syns))
        # Every segment carries timestamps; TSval never goes back per sender.
        last = {}
        for f in frames:
            self.assertNotEqual(f["tcp.options.timestamp.tsval"], "", f"frame {f['frame.number']}")
            tsval = int(f["tcp.options.timestamp.tsval"])
            key = (f["tcp.stream"], f["tcp.srcport"])
            if key in last:
                self.assertGreaterEqual((tsval - last[key]) % (1 << 32), 0)
                self.assertLess((tsval - last[key]) % (1 << 32), 1 << 31,
                                f"TSval goes back at frame {f['frame.number']}")
            last[key] = tsval
        self.assertGreaterEqual(len(last), 2)

    def check_delayed_acks(self, frames, flags, full):
        # The peer of the file's sender (the side with the most payload) never
        # sends a pure ACK for one full-sized segment alone: it waits for the
        # second, or for a shorter one that ends a message.
        payload = defaultdict(int)
        for f in frames:
            payload[(f["tcp.stream"], f["tcp.srcport"])] += int(f["tcp.len"])
        stream, port = max(payload, key=payload.get)
        pending = []  # the sender's segments not yet acknowledged: (end, length)
        pairs = 0
        lengths = []
        for f, fl in zip(frames, flags):
            if f["tcp.stream"] != stream:
                continue
            length = int(f["tcp.len"])
            if f["tcp.srcport"] == port:
                if length:
                    pending.append((int(f["tcp.seq_raw"]) + length, length))
                    lengths.append(length)
                continue
            ack = int(f["tcp.ack_raw"])
            newly = [n for end, n in pending if (ack - end) % (1 << 32) < (1 << 31)]
            pending = pending[len(newly):]
            if fl == ACK and length == 0 and newly:
                self.assertFalse(len(newly) == 1 and newly[0] >= full,
                                 f"frame {f['frame.number']} acknowledges one full segment alone")
                pairs += sum(1 for n in newly if n >= full) >= 2
        # Where two full segments follow each other, one ACK answers both. (A
        # mode that frames every block, a chunk or an HTTP/2 frame, sends a
        # full segment and the frame's few octets in turn, and the short one
        # is answered at once.)
        if any(a >= full and b >= full for a, b in zip(lengths, lengths[1:])):
            self.assertGreater(pairs, 0, "no ACK for two full segments")

    def check_rate(self, frames, times, rate):
        # Payload is paced at the rate: the last packet comes as long after the
        # first payload of the file's sender as its octets take at that rate
        # (all but its last segment's, which the closing packets do not await).
        payload = defaultdict(list)
        for f, t in zip(frames, times):
            if int(f["tcp.len"]) > 0:
                payload[(f["tcp.stream"], f["tcp.srcport"])].append((t, int(f["tcp.len"])))
        segments = max(payload.values(), key=lambda s: sum(n for _, n in s))
        expected = sum(n for _, n in segments[:-1]) * 8 / rate
        self.assertAlmostEqual(times[-1] - segments[0][0], expected, delta=expected / 100)


NO_OP = ["--ttl", "64", "--window", "5840", "--client-mac", "00:55:44:33:22:11",
         "--server-mac", "00:11:22:33:44:55", "--mtu", "1500"]

ALL_MODES = [
    ["-m", "h", "--http-encoder", "0"], ["-m", "h", "--http-encoder", "1"],
    ["-m", "h", "--http-encoder", "2"], ["-m", "h", "--http-encoder", "3"],
    ["-m", "H"], ["-m", "x"], ["-m", "f"], ["-m", "F"],
    *[["-m", m, "-e", e] for m in "spi" for e in "012"],
]


class DefaultsRestated(unittest.TestCase):
    def test_options_that_restate_a_default_change_no_byte(self):
        data = MAIL["mixed_content"](20_000, seed=7)
        with verify.WorkDir() as work:
            work.write("in.bin", data)
            for mode in ALL_MODES:
                for version in ([], ["-6"]):
                    with self.subTest(mode=" ".join(mode + version)):
                        work.run(*mode, *version, "--seed", "42", "-o", "plain.pcap", "in.bin")
                        work.run(*mode, *version, *NO_OP, "--seed", "42", "-o", "restated.pcap",
                                 "in.bin")
                        self.assertEqual((work.path / "restated.pcap").read_bytes(),
                                         (work.path / "plain.pcap").read_bytes())


if __name__ == "__main__":
    unittest.main()
