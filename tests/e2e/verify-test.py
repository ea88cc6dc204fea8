"""The capture checker shared by the e2e tests must reject broken captures:
otherwise every other e2e test could pass on garbage."""

import gzip
import struct
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import verify  # noqa: E402

ETH_HEADER = 14


def data_record(pcap, sender_port):
    """Index of a body segment from `sender_port`: the second segment with
    payload (the first holds the HTTP head), not the last."""
    candidates = [i for i, seg in enumerate(verify.tcp_segments(pcap)) if seg.src_port == sender_port and seg.length]
    if len(candidates) < 3:
        raise AssertionError(f"{pcap}: too few data segments to corrupt")
    return candidates[1]


def replace_frame(capture, index, frame):
    sec, frac, orig, _ = capture.records[index]
    capture.records[index] = (sec, frac, len(frame), frame)


def flip_payload_byte(capture, index):
    frame = bytearray(capture.records[index][3])
    frame[-10] ^= 0x40
    replace_frame(capture, index, bytes(frame))


def change_ipv4_ttl(capture, index):
    frame = bytearray(capture.records[index][3])
    frame[ETH_HEADER + 8] ^= 0x01
    replace_frame(capture, index, bytes(frame))


def drop_segment(capture, index):
    del capture.records[index]


def cut_last_record(capture, index):
    sec, frac, orig, frame = capture.records[-1]
    capture.records.pop()
    capture.trailing = struct.pack(capture.endian + "IIII", sec, frac, len(frame), orig) + frame[: len(frame) // 2]


def set_link_type_raw_ip(capture, index):
    header = bytearray(capture.header)
    header[20:24] = struct.pack(capture.endian + "I", 101)
    capture.header = bytes(header)


def make_timestamps_go_backwards(capture, index):
    sec, frac, orig, frame = capture.records[index]
    capture.records[index] = (sec - 10, frac, orig, frame)


class CaptureCheckerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = verify.WorkDir().__enter__()
        cls.addClassCleanup(cls.work.__exit__, None, None, None)
        data = bytes(range(256)) * 40
        cls.work.write("in.bin", data)
        cls.work.run("--seed", "5", "-o", "v4.pcap", "in.bin")
        cls.work.run("--seed", "5", "-6", "-o", "v6.pcap", "in.bin")

    def test_accepts_untouched_captures(self):
        for name in ("v4.pcap", "v6.pcap"):
            with self.subTest(name):
                verify.check_capture(self.work.path / name)

    def test_rejects_corrupted_captures(self):
        # (description, capture, corruption, text expected in the report)
        cases = [
            ("payload byte flipped (TCP checksum)", "v4.pcap", flip_payload_byte, "checksum"),
            ("payload byte flipped over IPv6", "v6.pcap", flip_payload_byte, "checksum"),
            ("IPv4 TTL changed (header checksum)", "v4.pcap", change_ipv4_ttl, "checksum"),
            ("data segment missing", "v4.pcap", drop_segment, "not captured"),
            ("data segment missing over IPv6", "v6.pcap", drop_segment, "not captured"),
            ("last record cut short", "v4.pcap", cut_last_record, "after the last whole record"),
            ("wrong link type", "v4.pcap", set_link_type_raw_ip, "link type"),
            ("timestamp going backwards", "v4.pcap", make_timestamps_go_backwards, "backwards"),
        ]
        for description, source, corrupt, expected in cases:
            with self.subTest(description):
                original = self.work.path / source
                capture = verify.read_pcap(original)
                corrupt(capture, data_record(original, 80))
                broken = self.work.write("broken.pcap", capture.to_bytes())
                problems = verify.capture_problems(broken)
                self.assertTrue(
                    any(expected in p for p in problems), f"expected a problem mentioning {expected!r}: {problems}"
                )
                with self.assertRaises(AssertionError):
                    verify.check_capture(broken)

    def test_checksums_are_verified_even_though_tshark_skips_them_by_default(self):
        capture = verify.read_pcap(self.work.path / "v4.pcap")
        flip_payload_byte(capture, data_record(self.work.path / "v4.pcap", 80))
        broken = self.work.write("checksum.pcap", capture.to_bytes())
        # Only the checksum is wrong: no expert item without validation on.
        self.assertEqual(verify.count_frames(broken, verify.PROBLEM_FILTER), 0)
        self.assertEqual(len(verify.capture_problems(broken)), 1)


class HttpParsingTest(unittest.TestCase):
    """The strict decoders the HTTP tests use to read bodies off the wire."""

    def test_chunked_body(self):
        body, sizes, end = verify.decode_chunked(b"4\r\nWiki\r\n5;x=1\r\npedia\r\n0\r\nT: 1\r\n\r\nrest", 0)
        self.assertEqual((body, sizes), (b"Wikipedia", [4, 5]))
        self.assertEqual(end, len(b"4\r\nWiki\r\n5;x=1\r\npedia\r\n0\r\nT: 1\r\n\r\n"))
        for broken in (b"4\r\nWikiX\r\n0\r\n\r\n", b"g\r\nWiki\r\n0\r\n\r\n", b"4\r\nWiki\r\n0\r\n"):
            with self.subTest(broken=broken), self.assertRaises(AssertionError):
                verify.decode_chunked(broken, 0)

    def test_gzip_trailer_is_checked(self):
        good = gzip.compress(b"hello world" * 100, mtime=0)
        self.assertEqual(verify.gunzip_strict(good), b"hello world" * 100)
        cases = {
            "wrong CRC-32": good[:-8] + bytes([good[-8] ^ 1]) + good[-7:],
            "wrong ISIZE": good[:-1] + bytes([good[-1] ^ 1]),
            "truncated": good[:-3],
            "bytes after the member": good + b"x",
        }
        for name, broken in cases.items():
            with self.subTest(name), self.assertRaises(AssertionError):
                verify.gunzip_strict(broken)

    def test_multipart(self):
        body = b'--XY\r\nContent-Disposition: form-data; name="f"\r\n\r\n\r\ndata\r\n\r\n--XY--\r\n'
        parts = verify.split_multipart(body, "XY")
        self.assertEqual(parts, [(['Content-Disposition: form-data; name="f"'], b"\r\ndata\r\n")])
        for name, broken in {"no close delimiter": body[:-8], "no first boundary": body[6:]}.items():
            with self.subTest(name), self.assertRaises(AssertionError):
                verify.split_multipart(broken, "XY")


if __name__ == "__main__":
    unittest.main()
