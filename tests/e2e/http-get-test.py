"""HTTP/1.1 GET downloads: every body encoding over IPv4 and IPv6 must give a
clean capture from which the input comes back byte for byte."""

import os
import random
import re
import sys
import unittest
import urllib.parse
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import verify  # noqa: E402

SERVER_PORT = 80

# --http-encoder value: (name, gzip content coding, chunked transfer coding)
ENCODINGS = {
    0: ("plain", False, False),
    1: ("gzip", True, False),
    2: ("chunked", False, True),
    3: ("gzip+chunked", True, True),
}


def mixed_binary(size, seed=20240611):
    """Random stretches alternating with compressible ones (text, zero runs),
    so gzip emits both stored and compressed deflate blocks."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        kind = rng.randrange(3)
        n = rng.randrange(1_000, 40_000)
        if kind == 0:
            out += rng.randbytes(n)
        elif kind == 1:
            out += b"".join(b"record %08d: %s\r\n" % (i, b"abc" * (i % 7)) for i in range(n // 30))
        else:
            out += bytes(n)
    return bytes(out[:size])


# name: (content, extra arguments, block size the body is cut into or None
# for the default)
INPUTS = {
    "binary.dat": (mixed_binary(384 * 1024), [], None),
    "empty": (b"", [], None),
    "blocks.bin": (random.Random(7).randbytes(2400), ["--block-size", "1200"], 1200),
    "odd-blocks.bin": (random.Random(8).randbytes(1050), ["--block-size", "100"], 100),
}


class HttpGetTest(unittest.TestCase):
    def download(self, work, name, content, args, encoder, ipv6):
        work.write(name, content)
        argv = ["--seed", "11", "--http-encoder", str(encoder), *args, *(["-6"] if ipv6 else []), name]
        work.run(*argv)
        pcap = work.path / f"{name}-http-get.pcap"
        self.assertTrue(pcap.is_file(), f"no {pcap.name} after tracemint {' '.join(argv)}")
        return pcap

    def check_download(self, pcap, content, encoder, ipv6, block):
        _, gzipped, chunked = ENCODINGS[encoder]
        verify.check_capture(pcap)

        segments = verify.tcp_segments(pcap)
        self.assertEqual({s.ip_version for s in segments}, {6 if ipv6 else 4})
        self.assertEqual({s.stream for s in segments}, {0})
        empty_pushes = [s.frame for s in segments if s.push and s.length == 0]
        self.assertEqual(empty_pushes, [], "data segments without data")

        # What tshark hands a user who exports the download.
        objects = verify.export_http_objects(pcap)
        if content or objects:  # tshark exports nothing for an empty plain body
            self.assertEqual(len(objects), 1, f"exported {sorted(objects)}")
            exported = next(iter(objects.values()))
            if exported != content and exported[:2] == b"\x1f\x8b":
                exported = verify.gunzip_strict(exported)
            self.assertTrue(exported == content, f"exported object: {len(exported)} bytes, input {len(content)}")

        # The bytes on the wire, read independently of tshark's HTTP dissector.
        request_bytes, response_bytes = verify.tcp_stream_bytes(pcap)
        request = verify.parse_http_message(request_bytes)
        self.assertRegex(request.start_line, r"^GET /\S* HTTP/1\.1$")
        self.assertEqual(request.end, len(request_bytes), "bytes after the request")
        self.assertIsNotNone(request.header("Host"))

        response = verify.parse_http_message(response_bytes)
        self.assertRegex(response.start_line, r"^HTTP/1\.1 200 ")
        self.assertEqual(response.end, len(response_bytes), "bytes after the response")
        self.assertEqual(response.header("Transfer-Encoding"), "chunked" if chunked else None)
        self.assertEqual(response.header("Content-Encoding"), "gzip" if gzipped else None)
        if not chunked:
            self.assertEqual(response.header("Content-Length"), str(len(response.raw_body)))
        body = verify.gunzip_strict(response.body) if gzipped else response.body
        self.assertTrue(body == content, f"body on the wire: {len(body)} bytes, input {len(content)}")

        # --block-size: the body goes out in full blocks and one remainder.
        if encoder == 0:
            body_segments = [s.length for s in segments if s.src_port == SERVER_PORT and s.length][1:]
            size = block or (body_segments[0] if body_segments else 1)
            self.assertLessEqual(size, 1200)
            self.assertEqual(body_segments, verify.expected_blocks(len(content), size))
        elif encoder == 2:
            size = block or (response.chunk_sizes[0] if response.chunk_sizes else 1)
            self.assertEqual(response.chunk_sizes, verify.expected_blocks(len(content), size))

    def test_download_round_trip(self):
        for name, (content, args, block) in INPUTS.items():
            for encoder, (encoding, _, _) in ENCODINGS.items():
                for ipv6 in (False, True):
                    with self.subTest(input=name, encoding=encoding, ip="IPv6" if ipv6 else "IPv4"):
                        with verify.WorkDir() as work:
                            pcap = self.download(work, name, content, args, encoder, ipv6)
                            self.check_download(pcap, content, encoder, ipv6, block)

    def test_default_capture_name_for_input_in_another_directory(self):
        content = random.Random(3).randbytes(5000)
        with verify.WorkDir() as work:
            source = work.write("inputs/nested/report.pdf", content)
            out = work.path / "out"
            out.mkdir()
            for label, argument in (("relative", "../inputs/nested/report.pdf"), ("absolute", str(source))):
                with self.subTest(label):
                    for ipv6 in (False, True):
                        verify.run_tool(["--seed", "2", *(["-6"] if ipv6 else []), argument], out)
                        self.assertEqual(sorted(os.listdir(out)), ["report.pdf-http-get.pcap"])
                        self.assertEqual(sorted(os.listdir(source.parent)), ["report.pdf"])
                        pcap = out / "report.pdf-http-get.pcap"
                        self.check_download(pcap, content, 0, ipv6, None)
                        pcap.unlink()

    def test_file_name_is_percent_encoded_in_request_target(self):
        # Characters that would end the path or change its meaning in the
        # request target (space, quote, percent, dot, brackets...) are
        # percent-encoded, so the target decodes back to the name.
        pchars = r"(?:[A-Za-z0-9\-._~!$&'()*+,;=:@/]|%[0-9A-Fa-f]{2})"
        names = ["with space.txt", 'say "hi".txt', "100%.bin", "a(1)+[2].txt"]
        content = b"name test\r\n" * 10
        for name in names:
            with self.subTest(name=name), verify.WorkDir() as work:
                pcap = self.download(work, name, content, [], 0, False)
                request_bytes, _ = verify.tcp_stream_bytes(pcap)
                request_line = request_bytes.split(b"\r\n", 1)[0].decode("latin-1")
                match = re.fullmatch(rf"GET (/{pchars}*) HTTP/1\.1", request_line)
                self.assertIsNotNone(match, f"request line {request_line!r}")
                self.assertTrue(
                    urllib.parse.unquote_to_bytes(match.group(1)).endswith(b"/" + os.fsencode(name)), match.group(1)
                )
                self.check_download(pcap, content, 0, False, None)


if __name__ == "__main__":
    unittest.main()
