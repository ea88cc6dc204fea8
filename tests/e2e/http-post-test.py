"""HTTP/1.1 POST uploads (-mH): the input goes up as the file part of a
multipart/form-data body (RFC 7578) that tshark dissects and that carries
the input byte for byte, over IPv4 and IPv6."""

import os
import random
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import verify  # noqa: E402

SERVER_PORT = 80

# name: (content, extra arguments, block size the file is cut into or None
# for the default)
INPUTS = {
    "upload.bin": (random.Random(99).randbytes(320 * 1024), [], None),
    "empty": (b"", [], None),
    "blocks.bin": (random.Random(100).randbytes(2400), ["--block-size", "1200"], 1200),
    # Bytes that look like multipart framing must stay data.
    "framing.txt": (b"--\r\n\r\n--\r\nContent-Type: text/plain\r\n\r\n--" * 50, ["--block-size", "7"], 7),
}


class HttpPostTest(unittest.TestCase):
    def upload(self, work, name, content, args, ipv6):
        work.write(name, content)
        argv = ["--seed", "23", "-mH", *args, *(["-6"] if ipv6 else []), name]
        work.run(*argv)
        pcap = work.path / f"{name}-http-post.pcap"
        self.assertTrue(pcap.is_file(), f"no {pcap.name} after tracemint {' '.join(argv)}")
        return pcap

    def check_upload(self, pcap, content, ipv6, block=None):
        """Checks the capture and the upload in it; returns the file part's
        head lines."""
        verify.check_capture(pcap)
        segments = verify.tcp_segments(pcap)
        self.assertEqual({s.ip_version for s in segments}, {6 if ipv6 else 4})
        self.assertEqual({s.stream for s in segments}, {0})
        self.assertEqual([s.frame for s in segments if s.push and s.length == 0], [], "data segments without data")
        self.assertEqual({s.dst_port for s in segments if s.length and s.src_port != SERVER_PORT}, {SERVER_PORT})
        # Request head, the file in --block-size pieces, closing delimiter.
        file_segments = [s.length for s in segments if s.src_port != SERVER_PORT and s.length][1:-1]
        size = block or (file_segments[0] if file_segments else 1)
        self.assertLessEqual(size, 1200)
        self.assertEqual(file_segments, verify.expected_blocks(len(content), size))

        # tshark's own reading: one POST whose body it takes apart as
        # multipart/form-data with a single file part.
        rows = verify.tshark_fields(
            pcap,
            ["http.request.method", "http.content_type", "http.content_length_header",
             "mime_multipart.type", "mime_multipart.header.content-disposition"],
            "http.request",
        )
        self.assertEqual(len(rows), 1, f"requests: {rows}")
        method, content_type, content_length, multipart_type, disposition = rows[0]
        self.assertEqual(method, "POST")
        self.assertTrue(content_type.startswith("multipart/form-data"), content_type)
        self.assertEqual(multipart_type, "multipart/form-data")
        self.assertTrue(re.sub(r"\s", "", disposition).startswith('form-data;name="file";'), disposition)

        # The body tshark reassembles and exports.
        objects = verify.export_http_objects(pcap)
        self.assertEqual(len(objects), 1, f"exported {sorted(objects)}")
        exported = next(iter(objects.values()))
        self.assertEqual(int(content_length), len(exported))

        # And the request as it is on the wire.
        request_bytes, _ = verify.tcp_stream_bytes(pcap)
        request = verify.parse_http_message(request_bytes)
        self.assertRegex(request.start_line, r"^POST /\S* HTTP/1\.1$")
        self.assertEqual(request.end, len(request_bytes), "bytes after the request body")
        self.assertIsNotNone(request.header("Host"))
        self.assertEqual(request.header("Content-Length"), str(len(request.body)))
        self.assertTrue(request.body == exported, "exported body differs from the one on the wire")

        match = re.fullmatch(r'multipart/form-data;\s*boundary=("?)([^"]{1,70})\1', request.header("Content-Type"))
        self.assertIsNotNone(match, request.header("Content-Type"))
        boundary = match.group(2)
        parts = verify.split_multipart(request.body, boundary)
        self.assertEqual(len(parts), 1)
        head, data = parts[0]
        self.assertTrue(data == content, f"file part: {len(data)} bytes, input {len(content)}")
        return head

    def test_upload_round_trip(self):
        for name, (content, args, block) in INPUTS.items():
            for ipv6 in (False, True):
                with self.subTest(input=name, ip="IPv6" if ipv6 else "IPv4"):
                    with verify.WorkDir() as work:
                        pcap = self.upload(work, name, content, args, ipv6)
                        head = self.check_upload(pcap, content, ipv6, block)
                        self.assertEqual(
                            head,
                            [f'Content-Disposition: form-data; name="file"; filename="{name}"',
                             "Content-Type: application/octet-stream"],
                        )

    def test_file_name_is_quoted_properly(self):
        # The name goes into a quoted-string (RFC 9110 section 5.6.4) exactly as
        # typed: spaces and non-ASCII bytes stay inside the quotes.
        names = ["with space.txt", "r\u00e9sum\u00e9.pdf", "a(1)+[2].txt"]
        content = b"name test\r\n"
        for name in names:
            with self.subTest(name=name), verify.WorkDir() as work:
                pcap = self.upload(work, name, content, [], ipv6=False)
                head = self.check_upload(pcap, content, ipv6=False)
                self.assertEqual(len(head), 2, f"part head lines: {head}")
                match = re.fullmatch(
                    r'Content-Disposition: form-data; name="file"; filename="((?:[^"\\\r\n]|\\.)*)"', head[0]
                )
                self.assertIsNotNone(match, f"not a quoted-string filename: {head[0]!r}")
                unquoted = re.sub(r"\\(.)", r"\1", match.group(1)).encode("latin-1")
                percent_decoded = unquoted.replace(b"%22", b'"').replace(b"%0A", b"\n").replace(b"%0D", b"\r")
                self.assertIn(os.fsencode(name), (unquoted, percent_decoded))

if __name__ == "__main__":
    unittest.main()
