#!/usr/bin/env python3
"""Command-line behaviour of the built tracemint binary.

Every case runs the tool in a fresh temporary working directory that holds a
small input, then checks the exit status, the key lines of standard output and
of standard error (where every error, warning and usage-error text goes) and
exactly which files the run created, changed or removed. Captures are read back
with a small libpcap/Ethernet/IP/TCP parser so that ports, addresses, timestamps
and the transferred bytes can be checked without external tools.

Run: TRACEMINT=path/to/tracemint python3 tests/e2e/command-line-test.py -v
"""

import gzip
import ipaddress
import os
import re
import shutil
import socket
import stat
import struct
import subprocess
import tempfile
import threading
import unittest
from collections import namedtuple
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
TOOL = os.environ.get("TRACEMINT") or str(REPO / "build" / "tracemint")

USAGE_LINE_2 = "tracemint - developed by Nardo Vesk(nardo.vesk@example.com)"
MULTI_MODE_PORT = ("Specifying a destination port is not possible when using multiple modes. "
                   "Switching to default destination ports.")
URL_TOO_LONG = "URL encoder: Filename too long"
SAME_FILE = "Output file cannot be input file!"

DEFAULT_CLIENT_V4 = ipaddress.ip_address("192.168.0.1")
DEFAULT_SERVER_V4 = ipaddress.ip_address("203.0.113.10")
DEFAULT_CLIENT_V6 = ipaddress.ip_address("2001:db8::214:51ff:fe2f:1556")
DEFAULT_SERVER_V6 = ipaddress.ip_address("2a00:1450:4007:80d::200e")

# Not a multiple of anything interesting, every byte value present, and under one
# default block so a single data segment carries it.
SMALL_INPUT = bytes(range(256)) * 3 + b"tracemint end of input\n"


# ---------------------------------------------------------------------------
# Capture reading


Record = namedtuple("Record", "sec usec frame")
Segment = namedtuple("Segment", "ts src dst sport dport flags payload")

FIN, SYN = 0x01, 0x02


def read_records(path):
    data = Path(path).read_bytes()
    if len(data) < 24 or struct.unpack_from("<I", data, 0)[0] != 0xA1B2C3D4:
        raise AssertionError(f"{path}: no libpcap global header")
    records, offset = [], 24
    while offset < len(data):
        if offset + 16 > len(data):
            raise AssertionError(f"{path}: record header cut at byte {offset}")
        sec, usec, incl, orig = struct.unpack_from("<IIII", data, offset)
        offset += 16
        if incl != orig or offset + incl > len(data):
            raise AssertionError(f"{path}: record at byte {offset - 16} is cut")
        records.append(Record(sec, usec, data[offset:offset + incl]))
        offset += incl
    return records


def read_segments(path):
    segments = []
    for rec in read_records(path):
        frame = rec.frame
        ethertype = struct.unpack_from(">H", frame, 12)[0]
        if ethertype == 0x0800:
            header = (frame[14] & 0x0F) * 4
            end = 14 + struct.unpack_from(">H", frame, 16)[0]
            src, dst = frame[26:30], frame[30:34]
            tcp = 14 + header
        elif ethertype == 0x86DD:
            end = 54 + struct.unpack_from(">H", frame, 18)[0]
            src, dst = frame[22:38], frame[38:54]
            tcp = 54
        else:
            raise AssertionError(f"{path}: unexpected EtherType {ethertype:#06x}")
        sport, dport = struct.unpack_from(">HH", frame, tcp)
        offset = (frame[tcp + 12] >> 4) * 4
        segments.append(Segment((rec.sec, rec.usec), ipaddress.ip_address(bytes(src)),
                                ipaddress.ip_address(bytes(dst)), sport, dport,
                                frame[tcp + 13], frame[tcp + offset:end]))
    if not segments or not segments[0].flags & SYN:
        raise AssertionError(f"{path}: does not start with a SYN")
    return segments


def stream(segments, from_client):
    client = segments[0].sport
    return b"".join(s.payload for s in segments if (s.sport == client) == from_client)


def response_body(segments):
    head, sep, body = stream(segments, from_client=False).partition(b"\r\n\r\n")
    if not sep:
        raise AssertionError("no complete response head")
    return head, body


def content_length(text):
    found = re.search(rb"Content-Length: (\d+)\r\n", text)
    if not found:
        raise AssertionError("no Content-Length header")
    return int(found.group(1))


def data_payload_sizes(segments):
    """Payload sizes of the server's segments after the response head's."""
    server = [s for s in segments if s.sport != segments[0].sport and s.payload]
    return [len(s.payload) for s in server[1:]]


# ---------------------------------------------------------------------------
# Running the tool

Result = namedtuple("Result", "status stdout stderr lines errors created changed removed")


def snapshot(root):
    """Every entry under root: regular files by content, the rest by type."""
    entries = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in dirnames + filenames:
            full = os.path.join(dirpath, name)
            st = os.lstat(full)
            key = os.path.relpath(full, root)
            if stat.S_ISREG(st.st_mode):
                entries[key] = ("file", Path(full).read_bytes())
            else:
                entries[key] = (stat.S_IFMT(st.st_mode), os.readlink(full) if stat.S_ISLNK(st.st_mode) else None)
    return entries


class ToolTest(unittest.TestCase):
    maxDiff = None

    def workdir(self):
        d = Path(tempfile.mkdtemp(prefix="tracemint-cli-"))
        self.addCleanup(self._remove_tree, d)
        return d

    @staticmethod
    def _remove_tree(d):
        for dirpath, dirnames, filenames in os.walk(d):
            for name in filenames:
                p = os.path.join(dirpath, name)
                if not os.path.islink(p):
                    try:
                        os.chmod(p, 0o600)
                    except OSError:
                        pass
        shutil.rmtree(d, ignore_errors=True)

    def fixture(self, d, name="in.bin", data=SMALL_INPUT):
        path = d / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return path

    def run_tool(self, args, cwd, env=None, input_bytes=None, watch=None):
        """Runs the tool; created/changed/removed are relative to `watch` (default cwd)."""
        watch = Path(watch or cwd)
        full_env = {k: v for k, v in os.environ.items() if k != "POSIXLY_CORRECT"}
        full_env["LC_ALL"] = "C"
        full_env.update(env or {})
        before = snapshot(watch)
        proc = subprocess.run([TOOL, *args], cwd=cwd, env=full_env, capture_output=True,
                              input=input_bytes,
                              stdin=subprocess.DEVNULL if input_bytes is None else None,
                              timeout=60)
        after = snapshot(watch)
        out = proc.stdout.decode("utf-8", "replace")
        err = proc.stderr.decode("utf-8", "replace")
        return Result(proc.returncode, out, err, out.splitlines(), err.splitlines(),
                      set(after) - set(before),
                      {k for k in before if k in after and before[k] != after[k]},
                      set(before) - set(after))

    def assertNothingWritten(self, res):
        self.assertEqual((res.created, res.changed, res.removed), (set(), set(), set()),
                         f"stdout was:\n{res.stdout}")

    def assertStatus(self, res, status):
        self.assertEqual(res.status, status, f"stdout:\n{res.stdout}\nstderr:\n{res.stderr}")

    def assertUsage(self, text):
        lines = text.split("\n")
        # 107 lines, each ending in a line end: the last element is the empty rest.
        self.assertEqual(len(lines), 108, text)
        self.assertEqual(lines[0], "")
        self.assertEqual(lines[1], USAGE_LINE_2)
        self.assertEqual(lines[2], "Version: 1.29")
        self.assertEqual(lines[96:98], ["Usage:", "\t\t\ttracemint [options] infile..."])
        self.assertEqual(lines[103], "\t\t\ttracemint -mi malware.pdf -o outfile.pcap")


# ---------------------------------------------------------------------------


class UsageAndVersion(ToolTest):
    def test_usage_and_version_end_with_status_zero_and_write_nothing(self):
        cases = [
            ([], "usage"),
            (["-h"], "usage"),
            (["--help"], "usage"),
            (["-h", "in.bin"], "usage"),
            (["in.bin", "--help"], "usage"),
            (["--version"], "version"),
            (["--version", "in.bin"], "version"),
        ]
        for args, kind in cases:
            with self.subTest(args=args):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool(args, d)
                self.assertStatus(res, 0)
                if kind == "usage":
                    self.assertUsage(res.stdout)
                else:
                    self.assertEqual(res.stdout, "tracemint 1.29\n")
                self.assertNothingWritten(res)


class UsageErrors(ToolTest):
    def test_parser_errors_print_usage_and_end_with_status_two(self):
        cases = [
            ["-x", "in.bin"],
            ["--bogus", "in.bin"],
            ["--version=2", "in.bin"],
            ["--help=yes", "in.bin"],
            ["in.bin", "-m"],
            ["in.bin", "-p"],
            ["in.bin", "-o"],
            ["in.bin", "-e"],
            ["in.bin", "--block-size"],
            ["in.bin", "--http-encoder"],
            ["in.bin", "--srcip"],
            ["in.bin", "--seed"],
            ["in.bin", "--mtu"],
            ["in.bin", "--window"],
            ["in.bin", "--start-time"],
            ["in.bin", "--rtt"],
            ["in.bin", "--rate"],
            ["in.bin", "--ttl"],
            ["in.bin", "--client-mac"],
            ["in.bin", "--server-mac"],
            ["in.bin", "--vlan"],
            ["--realistic=yes", "in.bin"],
            ["--tcp-options=1", "in.bin"],
        ]
        for args in cases:
            with self.subTest(args=args):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool(args, d)
                self.assertStatus(res, 2)
                self.assertEqual(res.stdout, "")
                # The parser's own diagnostic, then the usage text.
                diagnostic, _, usage = res.stderr.partition("\n")
                self.assertNotEqual(diagnostic.strip(), "")
                self.assertUsage(usage)
                self.assertNothingWritten(res)


class ValueErrors(ToolTest):
    # (options, option named in the message, a text that shows the accepted values)
    REFUSED = [
        (["--block-size", "0"], "--block-size", "1200"),
        (["--block-size", "1201"], "--block-size", "1200"),
        (["--block-size", "-1"], "--block-size", "1200"),
        (["--block-size", "abc"], "--block-size", "1200"),
        (["--block-size", ""], "--block-size", "1200"),
        (["-p", "70000"], "-p", "65535"),
        (["-p", "65536"], "-p", "65535"),
        (["-p", "abc"], "-p", "65535"),
        (["-p", "0"], "-p", "65535"),
        (["-p", ":80"], "-p", "65535"),
        (["-p", "1234:"], "-p", "65535"),
        (["-p", "1234:80:99"], "-p", "65535"),
        (["-p", ":"], "-p", "65535"),
        (["-p", "1234:0"], "-p", "65535"),
        (["-e", "3"], "-e", "2"),
        (["-e", "abc"], "-e", "2"),
        (["--http-encoder", "4"], "--http-encoder", "3"),
        (["--http-encoder", "x"], "--http-encoder", "3"),
        (["--http-encoder=-1"], "--http-encoder", "3"),
        (["--http-encoder", "1", "--gzip-level", "4"], "--gzip-level", "3"),
        (["--http-encoder", "1", "--gzip-level=-1"], "--gzip-level", "3"),
        (["--gzip-level", "fast"], "--gzip-level", "3"),
        (["--srcip", "1.2.3"], "--srcip", "IPv4"),
        (["--srcip", "foo"], "--srcip", "IPv4"),
        (["--dstip", "1.2.3"], "--dstip", "IPv4"),
        (["--dstip", "foo"], "--dstip", "IPv4"),
        (["--dstip", "256.1.1.1"], "--dstip", "IPv4"),
        (["--srcemail", "alice smith@example.com"], "--srcemail", "253"),
        (["--srcemail", "a" * 242 + "@example.com"], "--srcemail", "253"),  # 254 characters
        (["--dstemail", "bob\t@example.com"], "--dstemail", "253"),
        (["--dstemail", "b" * 242 + "@example.com"], "--dstemail", "253"),
        (["--seed", "abc"], "--seed", "integer"),
        (["--seed", "-1"], "--seed", "integer"),
        (["-m", ""], "-m", "H"),
        (["-m", "q"], "-m", "H"),
        (["-m", "hq"], "-m", "H"),  # the GET capture must not be written first
        (["-m", "Hq"], "-m", "H"),
        (["-m", "2"], "-m", "H"),
        (["-m", "H2"], "-m", "H"),
        (["-o", ""], "-o", "name"),
        # An address of the other family than the run's would be silently replaced.
        (["--srcip", "2001:db8::1"], "--srcip", "IPv4"),
        (["--dstip", "::1"], "--dstip", "IPv4"),
        (["-6", "--srcip", "10.0.0.1"], "--srcip", "IPv6"),
        (["--dstip", "10.9.8.7", "-6"], "--dstip", "IPv6"),
        # The network under the conversation.
        (["--mtu", "575"], "--mtu", "576 to 9216"),
        (["--mtu", "9217"], "--mtu", "576 to 9216"),
        (["--mtu", "1.5"], "--mtu", "576 to 9216"),
        (["--mtu", "1500", "--block-size", "1461"], "--block-size", "1460"),
        (["--mtu", "1500", "--block-size", "1441", "-6"], "--block-size", "1440"),
        (["--realistic", "--block-size", "1461"], "--block-size", "1460"),
        (["--window", "0"], "--window", "65535"),
        (["--window", "2400"], "--window", "2401"),  # two default blocks must fit
        (["--window", "65536"], "--window", "--tcp-options"),
        (["--tcp-options", "--window", "1073725441"], "--window", "1073725440"),
        (["--start-time", "2026-01-31 12:00:00"], "--start-time", "2026-01-31T12:00:00Z"),
        (["--start-time", "2026-02-29T00:00:00Z"], "--start-time", "2026-01-31T12:00:00Z"),
        (["--start-time", "-1"], "--start-time", "Unix seconds"),
        (["--start-time", "4294967296"], "--start-time", "Unix seconds"),
        (["--rtt", "0"], "--rtt", "60000"),
        (["--rtt", "60001"], "--rtt", "60000"),
        (["--rtt", "20ms"], "--rtt", "60000"),
        (["--rate", "0"], "--rate", "400000"),
        (["--rate", "1e3"], "--rate", "400000"),
        (["--ttl", "0"], "--ttl", "255"),
        (["--ttl", "256"], "--ttl", "255"),
        (["--client-mac", "00:11:22:33:44"], "--client-mac", "aa:bb:cc:dd:ee:ff"),
        (["--server-mac", "00:11:22:33:44:zz"], "--server-mac", "aa:bb:cc:dd:ee:ff"),
        (["--vlan", "0"], "--vlan", "4094"),
        (["--vlan", "4095"], "--vlan", "4094"),
        (["--vlan", "5,"], "--vlan", "4094"),
        (["--vlan", "1,2,3"], "--vlan", "4094"),
        (["--name", ""], "--name", "255"),
        (["--name", "a\r\nb.exe"], "--name", "control"),
        (["--name", "tab\tname"], "--name", "control"),
        (["--name", "n" * 256], "--name", "255"),
        (["--host", ""], "--host", "253"),
        (["--host", "mx.test\r\nX-Injected: 1"], "--host", "letters"),
        (["--host", "host:8080"], "--host", "letters"),
        (["--user-agent", ""], "--user-agent", "printable"),
        (["--user-agent", "Agent\r\nX-Injected: 1"], "--user-agent", "control"),
        (["--user-agent", " padded"], "--user-agent", "space"),
        (["--content-type", "text"], "--content-type", "type/subtype"),
        (["--content-type", "text/plain\r\nX-Injected: 1"], "--content-type", "type/subtype"),
        (["--content-type", "text/plain; charset"], "--content-type", "attribute=value"),
        (["--format", "pcap-ng"], "--format", "pcapng"),
        (["--format", "pcap", "--annotate"], "--annotate", "pcapng"),
    ]

    def test_bad_values_end_with_one_error_line_and_status_two_before_any_capture(self):
        for options, option, accepted in self.REFUSED:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 2)
                self.assertEqual(res.stdout, "")
                self.assertEqual(len(res.errors), 1, res.stderr)
                self.assertTrue(res.errors[0].startswith("Error: "), res.stderr)
                self.assertIn(option, res.errors[0])
                self.assertIn(accepted, res.errors[0])
                self.assertNothingWritten(res)

    def test_values_at_the_edges_are_accepted(self):
        cases = [
            ["--block-size", "1"],
            ["--block-size", "1200"],
            ["-p", "1"],
            ["-p", "65535"],
            ["-p", "65535:1"],
            ["-e", "0"],
            ["-e", "1"],
            ["-e", "2"],
            ["--http-encoder", "0"],
            ["--http-encoder", "1"],
            ["--http-encoder", "2"],
            ["--http-encoder", "3"],
            ["--srcip", "10.0.0.1"],
            ["--dstip", "::1", "-6"],
            ["--srcip", "2001:db8::7", "-6"],
            ["--srcemail", "a" * 241 + "@example.com"],  # 253 characters
            ["--dstemail", "x@y"],
            ["--seed", "0"],
            ["--seed", "18446744073709551615"],
            ["--name", "n" * 245],  # the longest the URL path takes
            ["--name", "caf\u00e9 (1).exe"],
            ["--host", "h" * 253],
            ["--user-agent", "u" * 986],
            ["--content-type", 'text/plain; charset="utf-8"'],
        ]
        for options in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                self.assertEqual(res.created, {"in.bin-http-get.pcap"})
                read_segments(d / "in.bin-http-get.pcap")

    def test_network_values_at_the_edges_are_accepted(self):
        cases = [
            ["--mtu", "576"],
            ["--mtu", "9216", "--block-size", "9176"],
            ["--mtu", "9216", "--block-size", "9156", "-6"],
            ["--window", "2401"],
            ["--tcp-options", "--window", "1073725440"],
            ["--start-time", "0"],
            ["--start-time", "4294567295"],
            ["--start-time", "now"],
            ["--start-time", "2000-02-29T23:59:59Z"],
            ["--rtt", "0.000001"],
            ["--rtt", "60000"],
            ["--rate", "0.001"],
            ["--rate", "400000"],
            ["--ttl", "1"],
            ["--ttl", "255"],
            ["--client-mac", "FF:FF:FF:FF:FF:FF", "--server-mac", "00:00:00:00:00:00"],
            ["--vlan", "1"],
            ["--vlan", "4094,1"],
            ["--realistic"],
        ]
        for options in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                self.assertEqual(res.created, {"in.bin-http-get.pcap"})
                records = read_records(d / "in.bin-http-get.pcap")
                self.assertGreaterEqual(len(records), 10)
                stamps = [(r.sec, r.usec) for r in records]
                self.assertEqual(stamps, sorted(stamps))

    def test_output_name_with_several_modes_takes_every_transfer(self):
        cases = [
            (["-m", "hH", "-o", "out.pcap"], [80, 80]),
            (["-m", "hh", "-o", "out.pcap"], [80, 80]),
            (["--mode=Hsi", "--outfile=out.pcap"], [80, 25, 143]),
        ]
        for options, servers in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                self.assertEqual(res.stdout, "Writing to out.pcap\n")
                self.assertEqual(res.created, {"out.pcap"})
                # Each conversation on its own client port, one after the other.
                syns = [s for s in read_segments(d / "out.pcap") if s.flags == SYN]
                self.assertEqual([s.dport for s in syns], servers)
                self.assertEqual(len({s.sport for s in syns}), len(servers))


class FailureHandling(ToolTest):
    def test_input_and_output_name_errors_end_with_status_255_before_any_capture(self):
        def link(d, target, name):
            os.link(d / target, d / name)

        enoent = "No such file or directory"
        # (name, set-up, arguments, the one error line)
        cases = [
            ("missing input", None, ["missing.bin"],
             f"Error: Input file missing.bin not found: {enoent}"),
            ("missing directory", None, ["nodir/missing.bin"],
             f"Error: Input file nodir/missing.bin not found: {enoent}"),
            ("input is a directory", lambda d: (d / "sub").mkdir(), ["sub"],
             "Error: sub: Input has to be a file, not a directory"),
            ("input is the working directory", None, ["."],
             "Error: .: Input has to be a file, not a directory"),
            # A socket passes stat but cannot be opened, even by root.
            ("input cannot be opened", lambda d: self._bind_socket(d / "sock"), ["sock"],
             "Error: Failed to open infile sock: No such device or address"),
            ("input path too long", None, ["x" * 300],
             f"Error: Failed to open infile {'x' * 300}: File name too long"),
            ("-o is the input", None, ["-o", "in.bin", "in.bin"], f"Error: in.bin: {SAME_FILE}"),
            ("-o is the input by another path", None, ["-o", "./in.bin", "in.bin"],
             f"Error: ./in.bin: {SAME_FILE}"),
            ("-o is a hard link to the input", lambda d: link(d, "in.bin", "copy.pcap"),
             ["-o", "copy.pcap", "in.bin"], f"Error: copy.pcap: {SAME_FILE}"),
            ("-o is a symbolic link to the input", lambda d: os.symlink("in.bin", d / "sym.pcap"),
             ["-mH", "-o", "sym.pcap", "in.bin"], f"Error: sym.pcap: {SAME_FILE}"),
            ("default GET name is the input",
             lambda d: (self.fixture(d, "sub/x"), link(d, "sub/x", "x-http-get.pcap")),
             ["sub/x"], f"Error: x-http-get.pcap: {SAME_FILE}"),
            # The POST capture's name is checked before the GET capture is created.
            ("default POST name is the input, after GET",
             lambda d: (self.fixture(d, "sub/x"), link(d, "sub/x", "x-http-post.pcap")),
             ["-m", "hH", "sub/x"], f"Error: x-http-post.pcap: {SAME_FILE}"),
            # Every capture name is checked before the first capture: the SMTP
            # name fits, the FTP one is longer than a file name may be.
            ("a later default name too long", lambda d: self.fixture(d, "a" * 244),
             ["-m", "sf", "a" * 244], f"Error: {'a' * 244}-ftp-active.pcap: File name too long"),
            ("-o component too long", None, ["-o", "o" * 256, "in.bin"],
             f"Error: {'o' * 256}: File name too long"),
            # Input problems are reported before malformed option values.
            ("missing input and bad port", None, ["-p", "abc", "missing.bin"],
             f"Error: Input file missing.bin not found: {enoent}"),
            ("missing input and bad encoder", None, ["--http-encoder", "9", "missing.bin"],
             f"Error: Input file missing.bin not found: {enoent}"),
        ]
        for name, setup, args, message in cases:
            with self.subTest(name):
                d = self.workdir()
                self.fixture(d)
                if setup:
                    setup(d)
                before = set(os.listdir(d))
                res = self.run_tool(args, d)
                self.assertStatus(res, 255)
                self.assertEqual(res.errors, [message])
                self.assertEqual(res.stdout, "")
                self.assertEqual(set(os.listdir(d)), before)

    def test_missing_input_operand_is_a_usage_error(self):
        for args in (["-mH"], ["-v"]):
            with self.subTest(args=args):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool(args, d)
                self.assertStatus(res, 2)
                self.assertEqual(res.stdout, "")
                message, _, usage = res.stderr.partition("\n")
                self.assertTrue(message.startswith("Error: Input file not found"), message)
                self.assertUsage(usage)
                self.assertNothingWritten(res)

    @staticmethod
    def _bind_socket(path):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(str(path))
        s.close()

    def test_unreadable_input(self):
        if os.geteuid() == 0:
            self.skipTest("root opens a file whatever its mode")
        d = self.workdir()
        self.fixture(d).chmod(0)
        res = self.run_tool(["in.bin"], d)
        self.assertStatus(res, 255)
        self.assertEqual(res.errors, ["Error: Failed to open infile in.bin: Permission denied"])
        self.assertNothingWritten(res)

    def test_output_name_that_does_not_exist_yet_is_accepted(self):
        d = self.workdir()
        self.fixture(d)
        res = self.run_tool(["-o", "new.pcap", "in.bin"], d)
        self.assertStatus(res, 0)
        self.assertEqual(res.created, {"new.pcap"})

    def test_failed_capture_write_reports_file_and_reason(self):
        # A full disk must not end as success with a short capture.
        d = self.workdir()
        self.fixture(d)
        res = self.run_tool(["-o", "/dev/full", "in.bin"], d)
        self.assertStatus(res, 255)
        self.assertEqual(res.errors, ["Error: /dev/full: No space left on device"])
        self.assertNothingWritten(res)

    def test_capture_that_cannot_be_created(self):
        d = self.workdir()
        self.fixture(d)
        res = self.run_tool(["-o", "nodir/out.pcap", "in.bin"], d)
        self.assertStatus(res, 255)
        self.assertEqual(res.errors,
                         ["Error: Failed to open outfile nodir/out.pcap: No such file or directory"])
        self.assertNothingWritten(res)

    def test_failure_in_a_later_mode_keeps_the_earlier_capture_whole(self):
        d = self.workdir()
        data = bytes(range(256)) * 12  # three data segments
        self.fixture(d, data=data)
        (d / "in.bin-http-post.pcap").mkdir()
        res = self.run_tool(["-m", "hH", "in.bin"], d)
        self.assertStatus(res, 255)
        self.assertEqual(res.errors,
                         ["Error: Failed to open outfile in.bin-http-post.pcap: Is a directory"])
        self.assertEqual(res.created, {"in.bin-http-get.pcap"})
        segments = read_segments(d / "in.bin-http-get.pcap")
        self.assertEqual(response_body(segments)[1], data)
        self.assertTrue(segments[-2].flags & FIN or segments[-1].flags & FIN)

    def test_temporary_files_need_no_writable_working_directory(self):
        # Nothing can be created in /proc, not even by root; the capture goes
        # elsewhere through -o, and the gzip body and the copy of a pipe go beside
        # it, or to $TMPDIR where that place takes no files either.
        if not os.path.isdir("/proc/self"):
            self.skipTest("no /proc")
        cases = [
            ("gzip body", ["--http-encoder", "1"], None, "out.pcap"),
            ("copy of a pipe", [], b"piped input\n", "out.pcap"),
            ("gzip body, capture to a device", ["--http-encoder", "1"], None, "/dev/null"),
            ("copy of a pipe, capture to a device", [], b"piped input\n", "/dev/null"),
        ]
        for name, options, piped, out in cases:
            with self.subTest(name):
                d, tmp = self.workdir(), self.workdir()
                infile = self.fixture(d)
                source = "-" if piped is not None else str(infile)
                target = str(d / out) if out == "out.pcap" else out
                res = self.run_tool([*options, "-o", target, source], "/proc",
                                    input_bytes=piped, watch=d, env={"TMPDIR": str(tmp)})
                self.assertStatus(res, 0)
                self.assertEqual(res.created, {"out.pcap"} if out == "out.pcap" else set())
                self.assertEqual(os.listdir(tmp), [])

    def test_url_encoder_budget_is_checked_before_any_capture(self):
        long_dir_path = "d" * 120 + "/" + "f" * 150  # longer than a file name may be
        # (input path, options, accepted)
        cases = [
            (" " * 62, ["-m", "h"], True),
            (" " * 63, ["-m", "h"], False),
            ("a" * 245, ["-m", "h", "-o", "out.pcap"], True),  # its default capture name is too long
            ("a" * 246, ["-m", "h"], False),
            ("a" * 246, ["-m", "Hh"], False),  # not even the POST capture is written
            (long_dir_path, [], False),
            # POST does not put the name into a URL.
            (" " * 63, ["-m", "H"], True),
            ("a" * 246, ["-m", "H", "-o", "out.pcap"], True),
            (long_dir_path, ["-m", "H"], True),
        ]
        for path, options, accepted in cases:
            with self.subTest(length=len(path), first=path[0], options=options):
                d = self.workdir()
                self.fixture(d, path)
                res = self.run_tool([*options, path], d)
                if not accepted:
                    self.assertStatus(res, 255)
                    self.assertEqual(res.errors, [f"Error: {path}: {URL_TOO_LONG}"])
                    self.assertNothingWritten(res)
                    continue
                self.assertStatus(res, 0)
                self.assertEqual(len(res.created), 1, res.created)
                segments = read_segments(d / res.created.pop())
                request = stream(segments, from_client=True)
                name = path.encode()
                if "H" in options:
                    # The whole path, uncut, in the part head, and a length that counts it.
                    self.assertIn(b'filename="' + name + b'"\r\n', request)
                    self.assertEqual(content_length(request), len(name) + len(SMALL_INPUT) + 222)
                else:
                    encoded = name.replace(b" ", b"%20")
                    self.assertIn(b"GET /tracemint/" + encoded + b" HTTP/1.1\r\n", request)
                    self.assertEqual(response_body(segments)[1], SMALL_INPUT)

    def test_long_output_name_is_used_whole(self):
        d = self.workdir()
        self.fixture(d)
        parts = ["o" * 200, "p" * 200, "q" * 150 + ".pcap"]
        (d / parts[0] / parts[1]).mkdir(parents=True)
        name = "/".join(parts)
        res = self.run_tool(["-o", name, "in.bin"], d)
        self.assertStatus(res, 0)
        self.assertEqual(res.created, {name})


class OptionForms(ToolTest):
    def capture_ports(self, path):
        segments = read_segments(path)
        client, server = segments[0].sport, segments[0].dport
        for s in segments:
            self.assertIn((s.sport, s.dport), {(client, server), (server, client)})
        return client, server

    def test_port_forms(self):
        # (options, capture, source port or None for the random one, destination port)
        cases = [
            ([], "in.bin-http-get.pcap", None, 80),
            (["-mH"], "in.bin-http-post.pcap", None, 80),
            (["-p", "8080"], "in.bin-http-get.pcap", None, 8080),
            (["-p8080"], "in.bin-http-get.pcap", None, 8080),
            (["--port=8080"], "in.bin-http-get.pcap", None, 8080),
            (["-p", "1234:80"], "in.bin-http-get.pcap", 1234, 80),
            (["-mH", "-p", "1234:8081"], "in.bin-http-post.pcap", 1234, 8081),
            (["-p", "81", "-p", "8080"], "in.bin-http-get.pcap", None, 8080),
            (["-p", "65535:1"], "in.bin-http-get.pcap", 65535, 1),
        ]
        for options, capture, src, dst in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                self.assertEqual(res.created, {capture})
                self.assertNotIn(MULTI_MODE_PORT, res.errors)
                client, server = self.capture_ports(d / capture)
                self.assertEqual(server, dst)
                if src is None:
                    self.assertTrue(1025 <= client <= 33792, client)
                else:
                    self.assertEqual(client, src)

    def test_port_with_several_modes_falls_back_to_default_destination(self):
        cases = [(["-p", "8080"], None), (["-p", "1234:8080"], 1234)]
        for options, src in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool(["-m", "hH", *options, "in.bin"], d)
                self.assertStatus(res, 0)
                self.assertIn(MULTI_MODE_PORT, res.errors)
                self.assertEqual(res.created, {"in.bin-http-get.pcap", "in.bin-http-post.pcap"})
                ports = {self.capture_ports(d / name) for name in res.created}
                # The source port carries over from one mode to the next.
                self.assertEqual(len(ports), 1, ports)
                client, server = ports.pop()
                self.assertEqual(server, 80)
                if src is not None:
                    self.assertEqual(client, src)

    def test_output_name_forms(self):
        cases = [
            (["-o", "out.pcap"], "out.pcap"),
            (["--outfile=out.pcap"], "out.pcap"),
            (["-oout.pcap"], "out.pcap"),
            (["-mH", "-o", "sub/out.pcap"], "sub/out.pcap"),
            (["-o", "old.pcap"], "old.pcap"),  # an unrelated existing file is replaced
        ]
        for options, name in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                (d / "sub").mkdir()
                (d / "old.pcap").write_bytes(b"stale")
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                self.assertEqual(res.created | res.changed, {name})
                segments = read_segments(d / name)
                if "-mH" in options:
                    self.assertIn(SMALL_INPUT, stream(segments, from_client=True))
                else:
                    self.assertEqual(response_body(segments)[1], SMALL_INPUT)

    def test_options_after_the_input_path(self):
        # (arguments, environment, capture, destination port)
        cases = [
            (["in.bin", "-mH", "-p8080"], {}, "in.bin-http-post.pcap", 8080),
            (["in.bin", "--mode", "H", "--port", "8080"], {}, "in.bin-http-post.pcap", 8080),
            # The command line alone decides; the environment does not.
            (["in.bin", "-mH", "-p8080"], {"POSIXLY_CORRECT": "1"}, "in.bin-http-post.pcap", 8080),
        ]
        for args, env, capture, dst in cases:
            with self.subTest(args=args, env=env):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool(args, d, env=env)
                self.assertStatus(res, 0)
                self.assertEqual(res.created, {capture})
                self.assertEqual(self.capture_ports(d / capture)[1], dst)
                payload = b"".join(s.payload for s in read_segments(d / capture))
                self.assertIn(SMALL_INPUT, payload)

    def test_every_operand_is_an_input_and_a_missing_one_stops_no_other(self):
        other = b"second operand\n"
        # (arguments, captures, status)
        cases = [
            (["in.bin", "other.bin", "-mH"], {"in.bin-http-post.pcap", "other.bin-http-post.pcap"}, 0),
            (["-mH", "in.bin", "--", "other.bin"],
             {"in.bin-http-post.pcap", "other.bin-http-post.pcap"}, 0),
            (["in.bin", "missing.bin", "other.bin"],
             {"in.bin-http-get.pcap", "other.bin-http-get.pcap"}, 255),
        ]
        for args, captures, status in cases:
            with self.subTest(args=args):
                d = self.workdir()
                self.fixture(d)
                self.fixture(d, "other.bin", other)
                res = self.run_tool(args, d)
                self.assertStatus(res, status)
                self.assertEqual(res.created, captures)
                if status:
                    self.assertEqual(res.errors, [
                        "Error: Input file missing.bin not found: No such file or directory"])
                for capture, content in zip(sorted(captures), (SMALL_INPUT, other)):
                    payload = b"".join(s.payload for s in read_segments(d / capture))
                    self.assertIn(content, payload)

    def test_encoder_forms(self):
        cases = [
            (["--http-encoder=1"], b"Content-Encoding: gzip\r\n", "gzip"),
            (["--http-encoder", "1"], b"Content-Encoding: gzip\r\n", "gzip"),
            (["--http-encoder", "1", "--gzip-level", "0"], b"Content-Encoding: gzip\r\n", "gzip"),
            (["--gzip-level=2", "--http-encoder=1"], b"Content-Encoding: gzip\r\n", "gzip"),
            (["--http-encoder", "2"], b"Transfer-Encoding: chunked\r\n", "chunked"),
            (["--http-encoder=0"], b"Content-Length: %d\r\n" % len(SMALL_INPUT), "plain"),
        ]
        for options, header, kind in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                head, body = response_body(read_segments(d / "in.bin-http-get.pcap"))
                self.assertIn(header, head + b"\r\n")
                if kind == "gzip":
                    self.assertEqual(gzip.decompress(body), SMALL_INPUT)
                elif kind == "plain":
                    self.assertEqual(body, SMALL_INPUT)

    def test_default_capture_name_is_the_last_component_in_the_working_directory(self):
        cases = [
            ("in.bin", "in.bin-http-get.pcap"),
            ("data/deep/in.bin", "in.bin-http-get.pcap"),
            ("ABSOLUTE", "in.bin-http-get.pcap"),
            ("data/my file.tar.gz", "my file.tar.gz-http-get.pcap"),
        ]
        for path, capture in cases:
            with self.subTest(path=path):
                d = self.workdir()
                relative = "data/deep/in.bin" if path == "ABSOLUTE" else path
                self.fixture(d, relative)
                arg = str(d / relative) if path == "ABSOLUTE" else path
                res = self.run_tool([arg], d)
                self.assertStatus(res, 0)
                self.assertEqual(res.created, {capture})
                self.assertIn(f"Writing to {capture}", res.lines)

    def test_addresses(self):
        # (options, client address, server address, verbose lines)
        cases = [
            ([], DEFAULT_CLIENT_V4, DEFAULT_SERVER_V4, []),
            (["-6"], DEFAULT_CLIENT_V6, DEFAULT_SERVER_V6, []),
            (["--6"], DEFAULT_CLIENT_V6, DEFAULT_SERVER_V6, []),
            (["-v", "--srcip", "10.0.0.1"], "10.0.0.1", DEFAULT_SERVER_V4,
             ["Using custom source IP: 10.0.0.1"]),
            (["--srcip", "10.0.0.1"], "10.0.0.1", DEFAULT_SERVER_V4, []),
            (["--verbose", "--dstip=10.9.8.7"], DEFAULT_CLIENT_V4, "10.9.8.7",
             ["Using custom destination IP: 10.9.8.7"]),
            (["--srcip", "2001:db8::1", "-6"], "2001:db8::1", DEFAULT_SERVER_V6, []),
            (["--dstip", "2001:db8::99", "-6"], DEFAULT_CLIENT_V6, "2001:db8::99", []),
        ]
        for options, client, server, messages in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                custom = [line for line in res.lines if line.startswith("Using custom")]
                self.assertEqual(custom, messages)
                segments = read_segments(d / "in.bin-http-get.pcap")
                self.assertEqual((segments[0].src, segments[0].dst),
                                 (ipaddress.ip_address(client), ipaddress.ip_address(server)))

    def test_block_size_sets_data_segment_size(self):
        cases = [
            (["--block-size", "1"], b"abcde", [1, 1, 1, 1, 1]),
            (["--block-size=1000"], bytes(2500), [1000, 1000, 500]),
            ([], bytes(2500), [1200, 1200, 100]),
        ]
        for options, data, sizes in cases:
            with self.subTest(options=options):
                d = self.workdir()
                self.fixture(d, data=data)
                res = self.run_tool([*options, "in.bin"], d)
                self.assertStatus(res, 0)
                segments = read_segments(d / "in.bin-http-get.pcap")
                self.assertEqual(data_payload_sizes(segments), sizes)
                self.assertEqual(response_body(segments)[1], data)


class ClockAcrossModes(ToolTest):
    def test_repeated_mode_replaces_capture_and_continues_the_clock(self):
        d_single, d_twice = self.workdir(), self.workdir()
        self.fixture(d_single)
        self.fixture(d_twice)
        single = self.run_tool(["--seed", "7", "-m", "h", "in.bin"], d_single)
        twice = self.run_tool(["--seed", "7", "-m", "hh", "in.bin"], d_twice)
        self.assertStatus(single, 0)
        self.assertStatus(twice, 0)
        self.assertEqual(twice.lines.count("Writing to in.bin-http-get.pcap"), 2)
        self.assertEqual(twice.created, {"in.bin-http-get.pcap"})
        first = read_records(d_single / "in.bin-http-get.pcap")
        second = read_records(d_twice / "in.bin-http-get.pcap")
        self.assertEqual(len(second), len(first))
        self.assertGreater((second[0].sec, second[0].usec), (first[-1].sec, first[-1].usec))

    def test_post_after_get_starts_later_than_get_ends(self):
        d = self.workdir()
        self.fixture(d)
        res = self.run_tool(["-m", "hH", "in.bin"], d)
        self.assertStatus(res, 0)
        get = read_records(d / "in.bin-http-get.pcap")
        post = read_records(d / "in.bin-http-post.pcap")
        self.assertGreater((post[0].sec, post[0].usec), (get[-1].sec, get[-1].usec))
        for records in (get, post):
            stamps = [(r.sec, r.usec) for r in records]
            self.assertEqual(stamps, sorted(stamps))


class Seed(ToolTest):
    def run_seeded(self, seed):
        d = self.workdir()
        self.fixture(d)
        res = self.run_tool(["--seed", seed, "-m", "hH", "--http-encoder", "3", "in.bin"], d)
        self.assertStatus(res, 0)
        captures = {name: (d / name).read_bytes() for name in sorted(res.created)}
        self.assertEqual(len(captures), 2)
        return res.stdout, captures

    def test_same_seed_gives_identical_output_and_different_seeds_differ(self):
        first = self.run_seeded("12345")
        again = self.run_seeded("12345")
        other = self.run_seeded("12346")
        self.assertEqual(first, again)
        for name in first[1]:
            with self.subTest(capture=name):
                self.assertNotEqual(first[1][name], other[1][name])


class NonRegularInput(ToolTest):
    def test_pipe_input_is_carried_whole_by_every_mode(self):
        # More than a pipe buffer holds, so a single read cannot get it all.
        data = bytes((i * 7 + 3) & 0xFF for i in range(150_000))
        d = self.workdir()
        res = self.run_tool(["-m", "hH", "-"], d, input_bytes=data)
        self.assertStatus(res, 0)
        # The private copy leaves nothing behind.
        self.assertEqual(res.created, {"stdin-http-get.pcap", "stdin-http-post.pcap"})
        get = read_segments(d / "stdin-http-get.pcap")
        head, body = response_body(get)
        self.assertEqual(content_length(head + b"\r\n"), len(data))
        self.assertEqual(body, data)
        upload = stream(read_segments(d / "stdin-http-post.pcap"), from_client=True)
        self.assertEqual(content_length(upload), len("stdin") + len(data) + 222)
        self.assertIn(data, upload)

    def test_pipe_input_with_gzip_body(self):
        data = b"compressible line of text\n" * 4000
        d = self.workdir()
        res = self.run_tool(["--http-encoder", "1", "/dev/stdin"], d, input_bytes=data)
        self.assertStatus(res, 0)
        self.assertEqual(res.created, {"stdin-http-get.pcap"})
        self.assertEqual(gzip.decompress(response_body(read_segments(d / "stdin-http-get.pcap"))[1]),
                         data)

    def test_fifo_input(self):
        data = bytes(range(251)) * 400
        d = self.workdir()
        fifo = d / "fifo"
        os.mkfifo(fifo)

        def feed():
            with open(fifo, "wb") as w:
                w.write(data)

        writer = threading.Thread(target=feed, daemon=True)
        writer.start()
        try:
            res = self.run_tool(["fifo"], d)
        finally:
            if writer.is_alive():
                # Release a writer still waiting for a reader.
                fd = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
                writer.join(5)
                os.close(fd)
        self.assertStatus(res, 0)
        self.assertEqual(res.created, {"fifo-http-get.pcap"})
        head, body = response_body(read_segments(d / "fifo-http-get.pcap"))
        self.assertEqual(content_length(head + b"\r\n"), len(data))
        self.assertEqual(body, data)

    def test_character_device_input(self):
        d = self.workdir()
        res = self.run_tool(["/dev/null"], d)
        self.assertStatus(res, 0)
        self.assertEqual(res.created, {"null-http-get.pcap"})
        head, body = response_body(read_segments(d / "null-http-get.pcap"))
        self.assertEqual(content_length(head + b"\r\n"), 0)
        self.assertEqual(body, b"")


class TemporaryFile(ToolTest):
    def test_file_named_like_an_old_temporary_is_left_alone(self):
        # A user's file of that name must survive, and a planted link must not be
        # followed into another file.
        kept = b"a user's own file, not ours\n"
        for kind in ("file", "symlink"):
            for encoder in ("1", "3"):
                with self.subTest(kind=kind, encoder=encoder):
                    d, elsewhere = self.workdir(), self.workdir()
                    self.fixture(d)
                    if kind == "file":
                        (d / "tracemint.tmp").write_bytes(kept)
                    else:
                        (elsewhere / "victim").write_bytes(kept)
                        os.symlink(elsewhere / "victim", d / "tracemint.tmp")
                    victim = snapshot(elsewhere)
                    res = self.run_tool(["--http-encoder", encoder, "in.bin"], d)
                    self.assertStatus(res, 0)
                    self.assertEqual((res.created, res.changed, res.removed),
                                     ({"in.bin-http-get.pcap"}, set(), set()))
                    self.assertEqual(snapshot(elsewhere), victim)
                    body = response_body(read_segments(d / "in.bin-http-get.pcap"))[1]
                    if encoder == "3":
                        body = dechunk(body)
                    self.assertEqual(gzip.decompress(body), SMALL_INPUT)


def dechunk(body):
    out, rest = b"", body
    while True:
        size_line, _, rest = rest.partition(b"\r\n")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            return out
        out += rest[:size]
        rest = rest[size + 2:]


if __name__ == "__main__":
    unittest.main()
