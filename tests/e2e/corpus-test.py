"""A corpus in one run: fifty inputs of mixed sizes in every mode, written into
one capture (-o) and as separate captures. tshark reads the one capture with no
conversation mixed into another (no retransmission, out-of-order or reused-port
note), and every file comes back whole from its own conversation; the separate
captures merged by mergecap hold the very same packets. Inputs written at once
(--jobs) give the captures of a run that writes them one by one, and an input
that fails among good ones is reported and leaves the others whole."""

import os
import random
import subprocess
import sys
import unittest
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verify  # noqa: E402
from extract import FORM_BOUNDARY, MAIL  # noqa: E402

# One conversation per mode, and a data connection after each FTP control
# connection: the TCP streams of an input, in the order of their SYNs.
MODES = "hHxspifF"
STREAMS = ["h", "H", "x", "s", "p", "i", "f", "f-data", "F", "F-data"]

# Empty, one byte, around the 1200-byte segment, and up to 90 KB: about 1.5 MB.
SIZES = [0, 1, 2, 45, 1199, 1200, 1201, 2400, 65535, 90000] + \
    [random.Random(size).randrange(3, 60000) for size in range(40)]

CONFUSED = ("tcp.analysis.retransmission || tcp.analysis.fast_retransmission"
            " || tcp.analysis.spurious_retransmission || tcp.analysis.out_of_order"
            " || tcp.analysis.lost_segment || tcp.analysis.ack_lost_segment"
            " || tcp.analysis.duplicate_ack || tcp.analysis.reused_ports")


def corpus():
    rng = random.Random(50)
    return {f"in{number:02}.bin": rng.randbytes(size) for number, size in enumerate(SIZES)}


def streams_of(pcap):
    """Every TCP stream of a capture as {stream: (from its opener, from the
    other side)}, from the payloads tshark dissects, in capture order."""
    out = verify.tshark("-r", pcap, "-n", "-Y", "tcp", "-T", "fields", "-e", "tcp.stream",
                        "-e", "tcp.flags.syn", "-e", "tcp.flags.ack", "-e", "tcp.srcport",
                        "-e", "tcp.payload")
    openers, data = {}, defaultdict(lambda: (bytearray(), bytearray()))
    for line in out.splitlines():
        stream, syn, ack, port, payload = (line.split("\t") + [""] * 5)[:5]
        stream = int(stream)
        if syn == "1" and ack == "0":
            openers[stream] = port
        if payload:
            data[stream][0 if port == openers[stream] else 1].extend(bytes.fromhex(payload))
    return {stream: (bytes(a), bytes(b)) for stream, (a, b) in data.items()}, len(openers)


def http2_body(server):
    """The DATA frames of stream 1 after the 101 answer and the preface."""
    pos = server.index(b"\r\n\r\n") + 4
    body = bytearray()
    while pos + 9 <= len(server):
        length = int.from_bytes(server[pos:pos + 3], "big")
        kind, stream = server[pos + 3], int.from_bytes(server[pos + 5:pos + 9], "big") & 0x7FFFFFFF
        if kind == 0 and stream == 1:
            body += server[pos + 9:pos + 9 + length]
        pos += 9 + length
    return bytes(body)


def file_of(kind, name, client, server):
    """The file one stream carries, taken as its receiver takes it."""
    if kind == "h":
        return verify.parse_http_message(server).body
    if kind == "H":
        body = verify.parse_http_message(client).body
        parts = verify.split_multipart(body, FORM_BOUNDARY)
        assert len(parts) == 1, f"{len(parts)} parts"
        return parts[0][1]
    if kind == "x":
        return http2_body(server)
    if kind == "s":
        mail = MAIL["unstuff"](client[client.index(b"DATA\r\n") + 6:])
        return MAIL["attachment_of"](mail, 0, name)
    if kind == "p":
        count, mail = MAIL["pop3_mail"](server)
        assert count == len(mail), "RETR octet count"
        return MAIL["attachment_of"](mail, 0, name)
    if kind == "i":
        return MAIL["attachment_of"](MAIL["imap_literal"](server), 0, name)
    if kind == "f-data":
        return client  # active: the server opens the data connection
    if kind == "F-data":
        return server
    return None  # an FTP control connection carries no file


class Corpus(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = verify.WorkDir().__enter__()
        cls.files = corpus()
        for name, data in cls.files.items():
            cls.work.write(name, data)
        cls.names = sorted(cls.files)
        # Bare names: the announced names are the inputs' own.
        cls.work.run("-m", MODES, "--seed", "11", "--jobs", "1", *cls.names, "-o", "all.pcap")
        cls.all = str(cls.work.path / "all.pcap")

    @classmethod
    def tearDownClass(cls):
        cls.work.__exit__(None, None, None)

    def assert_every_file_comes_back(self, pcap):
        verify.check_capture(pcap)
        self.assertEqual(verify.count_frames(pcap, CONFUSED), 0)
        streams, opened = streams_of(pcap)
        self.assertEqual(opened, len(self.names) * len(STREAMS))
        for index, name in enumerate(self.names):
            for offset, kind in enumerate(STREAMS):
                client, server = streams.get(index * len(STREAMS) + offset, (b"", b""))
                data = file_of(kind, name, client, server)
                if data is not None:
                    with self.subTest(name=name, stream=kind):
                        self.assertTrue(data == self.files[name],
                                        f"{len(data)} bytes, input {len(self.files[name])}")

    def test_one_capture_holds_every_transfer_apart(self):
        self.assert_every_file_comes_back(self.all)
        # Every conversation on a client port of its own.
        rows = verify.tshark_fields(self.all, ["tcp.srcport", "tcp.dstport"],
                                    "tcp.flags.syn == 1 && tcp.flags.ack == 0")
        self.assertEqual(len({tuple(row) for row in rows}), len(rows))

    def test_separate_captures_merged_are_the_one_capture(self):
        work = self.work
        work.run("-m", MODES, "--seed", "11", "--jobs", "3", *self.names)
        captures = sorted(str(p) for p in work.path.glob("in*.bin-*.pcap"))
        self.assertEqual(len(captures), len(self.names) * len(MODES))
        merged = str(work.path / "merged.pcap")
        subprocess.run(["mergecap", "-F", "pcap", "-w", merged, *captures], check=True)
        one, other = verify.read_pcap(self.all), verify.read_pcap(merged)
        self.assertEqual(len(one.records), len(other.records))
        self.assertTrue(one.records == other.records, "the merged packets differ")

    def test_inputs_written_at_once_give_the_same_bytes(self):
        work = self.work
        for options in (["-o", "jobs.pcapng", "--annotate"], ["-o", "jobs.pcap", "--tcp-options"]):
            with self.subTest(options=options):
                outputs = []
                for jobs in ("1", "4"):
                    name = f"{jobs}-{options[1]}"
                    work.run("-m", "hsF", "--seed", "3", "--jobs", jobs, *self.names[:20],
                             *options[2:], "-o", name)
                    outputs.append((work.path / name).read_bytes())
                self.assertTrue(outputs[0] == outputs[1])
        # Separate captures, in both formats: a capture written beside its name
        # takes it with its stamps moved where they lie; one whose name is a
        # link to a device is written through it.
        for options, suffix in (([], ".pcap"),
                                (["--format", "pcapng", "--nanosecond"], ".pcapng")):
            with self.subTest(options=options):
                captures = {}
                for jobs in ("1", "2", "5"):
                    directory = work.path / f"jobs{jobs}{suffix}"
                    directory.mkdir()
                    (directory / f"{self.names[3]}-imap{suffix}").symlink_to("/dev/null")
                    verify.run_tool(["-m", "xi", "--seed", "3", "--jobs", jobs, *options,
                                     *[f"../{name}" for name in self.names[:12]]], directory)
                    captures[jobs] = {p.name: p.read_bytes() for p in directory.iterdir()}
                self.assertEqual(len(captures["1"]), 24)
                self.assertEqual(captures["1"][f"{self.names[3]}-imap{suffix}"], b"")
                for jobs in ("2", "5"):
                    self.assertTrue(captures["1"] == captures[jobs], f"--jobs {jobs}")

    def test_no_capture_may_replace_an_input(self):
        work = self.work
        first, second = self.names[:2]
        for args in (["-m", "h", first, second, "-o", second],
                     ["-m", "hH", first, f"{first}-http-post.pcap"]):
            with self.subTest(args=args):
                if not (work.path / args[-1]).exists():
                    work.write(args[-1], self.files[second])
                before = sorted(p.name for p in work.path.iterdir())
                proc = work.run(*args, expect_status=255)
                self.assertEqual(proc.stderr, f"Error: {args[-1]}: Output file cannot be input file!\n")
                self.assertEqual(sorted(p.name for p in work.path.iterdir()), before)
                self.assertEqual((work.path / args[-1]).read_bytes(), self.files[second])
        (work.path / f"{first}-http-post.pcap").unlink()

    def test_a_failing_input_is_reported_and_the_others_go_on(self):
        work = self.work
        work.write("gone/.keep", b"")
        inputs = [self.names[0], "missing.bin", "gone", self.names[1]]
        for jobs in ("1", "3"):
            with self.subTest(jobs=jobs):
                name = f"failing{jobs}.pcap"
                proc = work.run("-m", "hi", "--seed", "2", "--jobs", jobs, *inputs, "-o", name,
                                expect_status=255)
                errors = proc.stderr.splitlines()
                self.assertEqual(len(errors), 2, proc.stderr)
                self.assertTrue(errors[0].startswith("Error: ") and "missing.bin" in errors[0])
                self.assertTrue(errors[1].startswith("Error: ") and "gone" in errors[1])
                self.assertEqual(proc.stdout, f"Writing to {name}\n")
                pcap = str(work.path / name)
                verify.check_capture(pcap)
                streams, opened = streams_of(pcap)
                self.assertEqual(opened, 4)
                for index, input_name in enumerate(self.names[:2]):
                    for offset, kind in enumerate("hi"):
                        client, server = streams[index * 2 + offset]
                        self.assertEqual(file_of(kind, input_name, client, server),
                                         self.files[input_name])
        # When every input fails, no capture of nothing replaces the file of
        # that name: it looked whole and held no transfer.
        work.write("kept.pcap", b"an earlier capture")
        for jobs in ("1", "3"):
            with self.subTest(jobs=jobs, every_input_fails=True):
                proc = work.run("-m", "h", "--jobs", jobs, "missing.bin", "gone", "-o", "kept.pcap",
                                expect_status=255)
                self.assertEqual(len(proc.stderr.splitlines()), 2, proc.stderr)
                self.assertEqual((work.path / "kept.pcap").read_bytes(), b"an earlier capture")
                self.assertEqual(sorted(p.name for p in work.path.glob("*.tracemint*")), [])

    def test_captures_that_cannot_be_written_fail_their_input_alone(self):
        # Two inputs of one name in different directories would write one
        # capture name: the later one fails instead of replacing the earlier
        # one's capture. A capture whose name is a directory fails its input,
        # whether written straight or put in place after others ran at once.
        work = self.work
        first, second, third = [name for name in self.names if self.files[name]][:3]
        work.write(f"twin/{first}", b"not the first input")
        inputs = [f"../{first}", f"../twin/{first}", f"../{third}", f"../{second}"]
        runs = {}
        for jobs in ("1", "2"):
            directory = work.path / f"clash{jobs}"
            (directory / f"{third}-http-get.pcap").mkdir(parents=True)
            proc = verify.run_tool(["-m", "h", "--seed", "5", "--jobs", jobs, *inputs],
                                   directory, expect_status=255)
            errors = proc.stderr.splitlines()
            self.assertEqual(len(errors), 2, proc.stderr)
            self.assertTrue(errors[0].startswith(f"Error: ../twin/{first}: ") and
                            f"../{first}" in errors[0], errors[0])
            self.assertTrue(errors[1].startswith("Error: ") and
                            f"{third}-http-get.pcap" in errors[1], errors[1])
            captures = {p.name: p.read_bytes() for p in directory.iterdir() if p.is_file()}
            self.assertEqual(sorted(captures), [f"{first}-http-get.pcap", f"{second}-http-get.pcap"])
            runs[jobs] = (proc.stdout, proc.stderr, captures)
            for name in (first, second):
                objects = verify.export_http_objects(str(directory / f"{name}-http-get.pcap"))
                self.assertEqual(list(objects.values()), [self.files[name]])
        self.assertTrue(runs["1"] == runs["2"], "--jobs 2 differs from one by one")


if __name__ == "__main__":
    unittest.main()
