"""HTTP/2 cleartext downloads (modes h2 and x): an HTTP/1.1 GET upgraded to
h2c. tshark must follow the upgrade, dissect every frame, and give back the
input byte for byte from the DATA frames of stream 1."""

import random
import sys
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import verify  # noqa: E402

# Frame types and flags (RFC 7540, sections 6.1 to 6.8).
DATA, HEADERS, SETTINGS, GOAWAY, WINDOW_UPDATE = 0, 1, 4, 7, 8
END_STREAM = ACK = 0x1
END_HEADERS = 0x4

# name: (content, extra arguments, block size)
INPUTS = {
    "empty": (b"", [], 1200),
    "blocks.bin": (random.Random(5).randbytes(2500), ["--block-size", "1200"], 1200),
    "binary.dat": (random.Random(6).randbytes(384 * 1024), [], 1200),
}


def decode_as(port):
    return ["-d", f"tcp.port=={port},http"] if port != 80 else []


def capture_problems(pcap, port):
    """Everything wrong with a capture, with the server port decoded as HTTP."""
    problems = [f"file format: {p}" for p in verify.pcap_format_problems(pcap)]
    out = verify.tshark("-r", pcap, "-n", *verify.CHECKSUM_PREFS, *decode_as(port),
                        "-Y", verify.PROBLEM_FILTER, "-T", "fields", "-E", "occurrence=a",
                        "-e", "frame.number", "-e", "_ws.expert.message")
    problems += [f"frame {line}" for line in out.splitlines()]
    return problems


def http2_frames(pcap, port):
    """One row per HTTP/2 frame in capture order: (sender port, type or None
    for the preface, flags, stream, length, {header: value}, window increment or
    GOAWAY's last stream)."""
    fields = ["tcp.srcport", "http2.magic", "http2.type", "http2.flags", "http2.streamid",
              "http2.length", "http2.header.name", "http2.header.value",
              "http2.window_update.window_size_increment", "http2.goaway.last_stream_id"]
    args = ["-r", pcap, "-n", *decode_as(port), "-Y", "http2", "-T", "fields",
            "-E", "separator=\t", "-E", "occurrence=a", "-E", "aggregator=\x1f"]
    for name in fields:
        args += ["-e", name]
    frames = []
    for line in verify.tshark(*args).splitlines():
        src, magic, types, flags, streams, lengths, names, values, increments, last = line.split("\t")
        if magic:
            frames.append((int(src), None, 0, 0, 0, {}, None))
            continue
        # Several frames in one segment come back joined: only the client's two
        # window updates share a segment.
        if "\x1f" in types:
            if set(types.split("\x1f")) != {str(WINDOW_UPDATE)}:
                raise AssertionError(f"several frames other than window updates in one segment: {line!r}")
            for row in zip(flags.split("\x1f"), streams.split("\x1f"), lengths.split("\x1f"),
                           increments.split("\x1f")):
                frames.append((int(src), WINDOW_UPDATE, int(row[0], 16), int(row[1]), int(row[2]), {},
                               int(row[3])))
            continue
        headers = dict(zip(names.split("\x1f"), values.split("\x1f"))) if names else {}
        extra = int(increments or last) if increments or last else None
        frames.append((int(src), int(types), int(flags, 16), int(streams), int(lengths), headers, extra))
    return frames


def expected_server_data(size, block):
    """The server's DATA frames and the client's window updates between them:
    once the payload received since the last update reaches 32768, the client
    grants that much on the connection (stream 0) and on stream 1."""
    rows, received = [], 0
    for length in verify.expected_blocks(size, block):
        rows.append(("server", (DATA, 0, 1), length))
        received += length
        if received >= 32768:
            rows += [("client", (WINDOW_UPDATE, 0, 0), received), ("client", (WINDOW_UPDATE, 0, 1), received)]
            received = 0
    return rows


class Http2Test(unittest.TestCase):
    def check_download(self, pcap, content, block, ipv6, port, name):
        problems = capture_problems(pcap, port)
        self.assertEqual(problems, [], f"{pcap.name} is not clean")

        segments = verify.tcp_segments(pcap)
        self.assertEqual({s.ip_version for s in segments}, {6 if ipv6 else 4})
        self.assertEqual({s.stream for s in segments}, {0})
        server_ports = {s.dst_port for s in segments if s.flags == 0x02}
        self.assertEqual(server_ports, {port})

        # The upgrade, read as HTTP/1.1: tshark switches to HTTP/2 after the 101.
        http_rows = verify.tshark("-r", pcap, "-n", *decode_as(port), "-Y", "http",
                                  "-T", "fields", "-e", "http.request.uri", "-e", "http.response.code",
                                  "-e", "http.upgrade").splitlines()
        self.assertEqual(len(http_rows), 2, http_rows)
        uri, _, upgrade_token = http_rows[0].split("\t")
        self.assertEqual(urllib.parse.unquote(uri), "/tracemint/" + name)
        self.assertEqual(upgrade_token, "h2c")
        self.assertEqual(http_rows[1].split("\t")[1:], ["101", "h2c"])

        frames = http2_frames(pcap, port)
        client = next(s.src_port for s in segments if s.flags == 0x02)
        sides = [("client" if f[0] == client else "server") for f in frames]
        kinds = [(f[1], f[2], f[3]) for f in frames]
        # The upgraded request is stream 1: the client sends no HEADERS of its
        # own, and the GOAWAY names stream 1 as the last one processed.
        data = expected_server_data(len(content), block)
        self.assertEqual(
            list(zip(sides, kinds)),
            [("client", (None, 0, 0)),  # the preface
             ("server", (SETTINGS, 0, 0)), ("client", (SETTINGS, ACK, 0)),
             ("client", (SETTINGS, 0, 0)), ("server", (SETTINGS, ACK, 0)),
             ("server", (HEADERS, END_HEADERS, 1))]
            + [row[:2] for row in data]
            + [("server", (DATA, END_STREAM, 1)), ("server", (GOAWAY, 0, 0))],
        )
        self.assertEqual(frames[5][5], {":status": "200", "content-length": str(len(content))})
        self.assertEqual([f[4] if f[1] == DATA else f[6] for f in frames[6:-2]], [row[2] for row in data])
        self.assertEqual(frames[-1][6], 1)

        # The body of stream 1, as tshark reassembles it at END_STREAM.
        body_rows = verify.tshark("-r", pcap, "-n", *decode_as(port), "-Y", "http2.body.reassembled.data",
                                  "-T", "fields", "-e", "http2.streamid",
                                  "-e", "http2.body.reassembled.data").splitlines()
        if content:
            self.assertEqual(len(body_rows), 1)
            stream, data = body_rows[0].split("\t")
            self.assertEqual(stream.split(",")[-1], "1")
            body = bytes.fromhex(data)
            self.assertTrue(body == content, f"reassembled {len(body)} bytes, input {len(content)}")
        else:
            self.assertEqual(body_rows, [])

    def test_download_round_trip(self):
        # (mode, IPv6, -p): both spellings over both IP versions, and x on a port
        # that tshark is told to read as HTTP.
        runs = [("h2", False, None), ("h2", True, None), ("x", False, None), ("x", True, None),
                ("x", False, 8080), ("x", True, 8080)]
        for name, (content, args, block) in INPUTS.items():
            for mode, ipv6, port in runs:
                with self.subTest(input=name, mode=mode, ip="IPv6" if ipv6 else "IPv4", port=port), \
                        verify.WorkDir() as work:
                    work.write(name, content)
                    argv = ["--seed", "3", "-m", mode, *args, *(["-6"] if ipv6 else []),
                            *(["-p", str(port)] if port else []), name]
                    proc = work.run(*argv)
                    self.assertEqual(proc.stdout, f"Writing to {name}-http2-get.pcap\n")
                    self.check_download(work.path / f"{name}-http2-get.pcap", content, block, ipv6,
                                        port or 80, name)

    def test_h2_and_x_are_one_mode(self):
        content = random.Random(9).randbytes(3000)
        # With -o the named file is the only capture; -p needs no warning.
        for mode in ("h2", "x"):
            for extra, written, port in ((["-o", "out.pcap"], "out.pcap", 80),
                                         (["-p", "8080"], "in.bin-http2-get.pcap", 8080)):
                with self.subTest(mode=mode, extra=extra), verify.WorkDir() as work:
                    work.write("in.bin", content)
                    proc = work.run("--seed", "4", "-m", mode, *extra, "in.bin")
                    self.assertEqual(proc.stdout, f"Writing to {written}\n")
                    self.assertEqual(sorted(p.name for p in work.path.iterdir()), sorted(["in.bin", written]))
                    self.check_download(work.path / written, content, 1200, False, port, "in.bin")
        # The same seed gives the same capture whichever spelling names the mode.
        with verify.WorkDir() as work:
            work.write("in.bin", content)
            work.run("--seed", "4", "-m", "h2", "-o", "a.pcap", "in.bin")
            work.run("--seed", "4", "-m", "x", "-o", "b.pcap", "in.bin")
            self.assertEqual((work.path / "a.pcap").read_bytes(), (work.path / "b.pcap").read_bytes())

    def test_with_the_get_mode_in_either_order(self):
        content = random.Random(10).randbytes(5000)
        for modes, order in (("h2h", ["http2-get", "http-get"]), ("hh2", ["http-get", "http2-get"])):
            with self.subTest(modes=modes), verify.WorkDir() as work:
                work.write("in.bin", content)
                proc = work.run("--seed", "5", "-m", modes, "in.bin")
                self.assertEqual(proc.stdout, "".join(f"Writing to in.bin-{o}.pcap\n" for o in order))
                self.check_download(work.path / "in.bin-http2-get.pcap", content, 1200, False, 80, "in.bin")
                verify.check_capture(work.path / "in.bin-http-get.pcap")
                # The simulated clock runs on from one capture to the next.
                first, second = (verify.read_pcap(work.path / f"in.bin-{o}.pcap") for o in order)
                self.assertLess(first.records[-1][:2], second.records[0][:2])


if __name__ == "__main__":
    unittest.main()
