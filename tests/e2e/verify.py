"""Shared helpers for the end-to-end tests: run the built tool, read its
captures back with tshark, and pull transferred content out of them.

Every e2e script imports this module from its own directory, so the helpers
here stay independent of any one protocol: the capture checks apply to every
mode, the HTTP helpers to HTTP/1.1 GET and POST.
"""

import os
import shutil
import struct
import subprocess
import tempfile
import zlib
from dataclasses import dataclass, field
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]

# Generous: the same tests run against a sanitizer build.
TOOL_TIMEOUT = 600
TSHARK_TIMEOUT = 600


# --- the tool -------------------------------------------------------------


def tool_path():
    """The tracemint binary: $TRACEMINT, else build/tracemint in the repo."""
    configured = os.environ.get("TRACEMINT")
    path = Path(configured) if configured else REPO_ROOT / "build" / "tracemint"
    if not path.is_file() or not os.access(path, os.X_OK):
        where = "$TRACEMINT" if configured else "the default build directory"
        raise RuntimeError(f"tracemint not found at {path} ({where}); build it or set TRACEMINT")
    return path.resolve()


def run_tool(args, cwd, expect_status=0):
    """Runs the tool with `args` in `cwd` and returns the CompletedProcess.

    Fails with the tool's output when the exit status is not `expect_status`
    (None accepts any status).
    """
    proc = subprocess.run(
        [str(tool_path()), *[str(a) for a in args]],
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        errors="replace",
        timeout=TOOL_TIMEOUT,
    )
    if expect_status is not None and proc.returncode != expect_status:
        raise AssertionError(
            f"tracemint {' '.join(map(str, args))} exited {proc.returncode}, expected {expect_status}\n"
            f"stdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
        )
    return proc


class WorkDir:
    """A temporary working directory, removed on exit.

    Usage: `with WorkDir() as work: work.write("in.bin", data); work.run(...)`.
    """

    def __enter__(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="tracemint-e2e-")
        self.path = Path(self._tmp.name)
        return self

    def __exit__(self, *exc):
        self._tmp.cleanup()
        return False

    def write(self, name, data):
        target = self.path / name
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(data)
        return target

    def run(self, *args, expect_status=0):
        return run_tool(args, self.path, expect_status)


# --- tshark ----------------------------------------------------------------


def tshark(*args, check=True):
    """Runs tshark and returns its stdout as text."""
    if shutil.which("tshark") is None:
        raise RuntimeError("tshark is not installed (apt-get install -y tshark)")
    proc = subprocess.run(
        ["tshark", *[str(a) for a in args]],
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        errors="replace",
        timeout=TSHARK_TIMEOUT,
    )
    if check and proc.returncode != 0:
        raise AssertionError(f"tshark {' '.join(map(str, args))} exited {proc.returncode}:\n{proc.stderr}")
    return proc.stdout


def tshark_fields(pcap, fields, display_filter=None):
    """One row per (matching) frame, one string per field; repeated fields
    come back comma-separated."""
    args = ["-r", pcap, "-n", "-T", "fields", "-E", "separator=\t", "-E", "occurrence=a"]
    if display_filter:
        args += ["-Y", display_filter]
    for name in fields:
        args += ["-e", name]
    out = tshark(*args)
    return [line.split("\t") for line in out.splitlines()]


def count_frames(pcap, display_filter):
    return len(tshark_fields(pcap, ["frame.number"], display_filter))


# Anything that a real stack would not have sent, or that tshark could not
# dissect cleanly: a malformed packet, a bad IP/TCP/UDP checksum, or an expert
# item of warning severity or above (TCP sequence analysis among them).
PROBLEM_FILTER = (
    "_ws.malformed || _ws.expert.severity >= warning"
    " || ip.checksum.status == 0 || tcp.checksum.status == 0 || udp.checksum.status == 0"
)

CHECKSUM_PREFS = [
    "-o", "ip.check_checksum:TRUE",
    "-o", "tcp.check_checksum:TRUE",
    "-o", "udp.check_checksum:TRUE",
]


def capture_problems(pcap):
    """Lists everything wrong with a capture; empty when it is clean."""
    problems = [f"file format: {p}" for p in pcap_format_problems(pcap)]
    if problems:
        return problems
    # Checksum validation is off by default in tshark: turn it on.
    args = ["-r", pcap, "-n", *CHECKSUM_PREFS, "-Y", PROBLEM_FILTER,
            "-T", "fields", "-E", "separator=\t", "-E", "occurrence=a",
            "-e", "frame.number", "-e", "_ws.expert.message"]
    for line in tshark(*args).splitlines():
        number, _, messages = line.partition("\t")
        problems.append(f"frame {number}: {messages or 'malformed or bad checksum'}")
    return problems


def check_capture(pcap):
    """Asserts that `pcap` is a well-formed Ethernet capture that tshark reads
    without any malformed packet, bad checksum or warning."""
    problems = capture_problems(pcap)
    if problems:
        shown = "\n  ".join(problems[:20])
        more = f"\n  ... {len(problems) - 20} more" if len(problems) > 20 else ""
        raise AssertionError(f"{pcap}: {len(problems)} problem(s):\n  {shown}{more}")


# --- the capture file itself -------------------------------------------------

LINKTYPE_ETHERNET = 1


@dataclass
class PcapFile:
    header: bytes  # the 24-byte global header, as read
    endian: str  # struct prefix
    nanosecond: bool
    snaplen: int
    linktype: int
    records: list = field(default_factory=list)  # [(sec, frac, orig_len, data)]
    trailing: bytes = b""  # bytes after the last whole record

    def to_bytes(self):
        out = bytearray(self.header)
        for sec, frac, orig_len, data in self.records:
            out += struct.pack(self.endian + "IIII", sec, frac, len(data), orig_len)
            out += data
        return bytes(out + self.trailing)


def read_pcap(path):
    raw = Path(path).read_bytes()
    if len(raw) < 24:
        raise ValueError(f"{len(raw)} bytes, shorter than a pcap header")
    magics = {
        b"\xd4\xc3\xb2\xa1": ("<", False),
        b"\xa1\xb2\xc3\xd4": (">", False),
        b"\x4d\x3c\xb2\xa1": ("<", True),
        b"\xa1\xb2\x3c\x4d": (">", True),
    }
    if raw[:4] not in magics:
        raise ValueError(f"unknown magic {raw[:4].hex()}")
    endian, nano = magics[raw[:4]]
    _, _, _, _, snaplen, linktype = struct.unpack(endian + "HHiIII", raw[4:24])
    pcap = PcapFile(raw[:24], endian, nano, snaplen, linktype)
    pos = 24
    while pos + 16 <= len(raw):
        sec, frac, incl, orig = struct.unpack(endian + "IIII", raw[pos:pos + 16])
        if pos + 16 + incl > len(raw):
            break
        pcap.records.append((sec, frac, orig, raw[pos + 16:pos + 16 + incl]))
        pos += 16 + incl
    pcap.trailing = raw[pos:]
    return pcap


PCAPNG_SECTION = 0x0A0D0D0A
PCAPNG_INTERFACE = 1
PCAPNG_PACKET = 6


@dataclass
class PcapngFile:
    section_comments: list  # opt_comment values of the section header
    application: str  # shb_userappl, or ""
    linktype: int
    snaplen: int
    resolution: int  # if_tsresol exponent of ten
    nanosecond: bool
    records: list = field(default_factory=list)  # [(sec, frac, orig_len, data)] in the resolution
    comments: list = field(default_factory=list)  # per packet: [opt_comment values]
    problems: list = field(default_factory=list)  # framing faults found while reading


def pcapng_options(body):
    """The options of a block as [(code, value)] up to opt_endofopt, and
    whether they were well formed (padded, ended, nothing after)."""
    options, pos = [], 0
    while pos + 4 <= len(body):
        code, length = struct.unpack_from("<HH", body, pos)
        if code == 0:
            return options, length == 0 and pos + 4 == len(body)
        end = pos + 4 + length
        if end > len(body):
            return options, False
        options.append((code, body[pos + 4:end]))
        pos = pos + 4 + ((length + 3) & ~3)
    return options, pos == len(body)


def read_pcapng(path):
    """A little-endian pcapng file with one section and one interface, as this
    tool writes it; framing faults are listed in `problems`."""
    raw = Path(path).read_bytes()
    blocks, pos, problems = [], 0, []
    while pos < len(raw):
        if pos + 12 > len(raw):
            problems.append(f"{len(raw) - pos} bytes after the last whole block")
            break
        kind, length = struct.unpack_from("<II", raw, pos)
        if length < 12 or length % 4 or pos + length > len(raw):
            problems.append(f"block at {pos}: bad length {length}")
            break
        if struct.unpack_from("<I", raw, pos + length - 4)[0] != length:
            problems.append(f"block at {pos}: trailing length differs")
        blocks.append((kind, raw[pos + 8:pos + length - 4]))
        pos += length
    if len(blocks) < 2 or blocks[0][0] != PCAPNG_SECTION or blocks[1][0] != PCAPNG_INTERFACE:
        raise ValueError("not a pcapng section header followed by an interface description")
    section = blocks[0][1]
    magic, major, minor = struct.unpack_from("<IHH", section, 0)
    if magic != 0x1A2B3C4D or (major, minor) != (1, 0):
        problems.append(f"section header: magic {magic:#x}, version {major}.{minor}")
    options, ok = pcapng_options(section[16:])
    if not ok:
        problems.append("section header: options not well formed")
    comments = [v.decode("utf-8", "replace") for c, v in options if c == 1]
    application = "".join(v.decode("utf-8", "replace") for c, v in options if c == 4)
    linktype, _, snaplen = struct.unpack_from("<HHI", blocks[1][1], 0)
    options, ok = pcapng_options(blocks[1][1][8:])
    if not ok:
        problems.append("interface description: options not well formed")
    resolution = next((v[0] for c, v in options if c == 9), 6)
    pcapng = PcapngFile(comments, application, linktype, snaplen, resolution, resolution == 9,
                        problems=problems)
    per_second = 10 ** resolution
    for number, (kind, body) in enumerate(blocks[2:], start=1):
        if kind != PCAPNG_PACKET:
            problems.append(f"block {number + 2}: type {kind}, expected enhanced packets only")
            continue
        interface, high, low, captured, original = struct.unpack_from("<IIIII", body, 0)
        padded = (captured + 3) & ~3
        if interface != 0 or 20 + padded > len(body):
            problems.append(f"packet {number}: interface {interface}, captured {captured}")
            continue
        if body[20 + captured:20 + padded].strip(b"\0"):
            problems.append(f"packet {number}: padding is not zero")
        options, ok = pcapng_options(body[20 + padded:])
        if not ok:
            problems.append(f"packet {number}: options not well formed")
        stamp = (high << 32) | low
        pcapng.records.append((stamp // per_second, stamp % per_second, original,
                               body[20:20 + captured]))
        pcapng.comments.append([v.decode("utf-8", "replace") for c, v in options if c == 1])
    return pcapng


def is_pcapng(path):
    with open(path, "rb") as f:
        return f.read(4) == b"\x0a\x0d\x0d\x0a"


def pcap_format_problems(path):
    """Checks the libpcap or pcapng framing that tshark is lenient about."""
    try:
        pcap = read_pcapng(path) if is_pcapng(path) else read_pcap(path)
    except ValueError as error:
        return [str(error)]
    if isinstance(pcap, PcapngFile):
        problems = list(pcap.problems)
    else:
        problems = []
        major, minor = struct.unpack(pcap.endian + "HH", pcap.header[4:8])
        if (major, minor) != (2, 4):
            problems.append(f"version {major}.{minor}, expected 2.4")
        if pcap.trailing:
            problems.append(f"{len(pcap.trailing)} bytes after the last whole record")
    if pcap.linktype != LINKTYPE_ETHERNET:
        problems.append(f"link type {pcap.linktype}, expected Ethernet ({LINKTYPE_ETHERNET})")
    if not pcap.records:
        problems.append("no packets")
    fraction_limit = 1_000_000_000 if pcap.nanosecond else 1_000_000
    previous = None
    for number, (sec, frac, orig, data) in enumerate(pcap.records, start=1):
        if len(data) > pcap.snaplen:
            problems.append(f"frame {number}: {len(data)} bytes, more than the snap length {pcap.snaplen}")
        if orig != len(data):
            problems.append(f"frame {number}: captured {len(data)} of {orig} bytes")
        if frac >= fraction_limit:
            problems.append(f"frame {number}: sub-second part {frac} out of range")
        if previous is not None and (sec, frac) < previous:
            problems.append(f"frame {number}: timestamp goes backwards")
        previous = (sec, frac)
    return problems


# --- TCP streams ------------------------------------------------------------


def tcp_stream_bytes(pcap, stream=0):
    """The reassembled payload of one TCP stream as (from the side that
    opened it, from the other side)."""
    out = tshark("-r", pcap, "-n", "-q", "-z", f"follow,tcp,raw,{stream}")
    opener, other = bytearray(), bytearray()
    started = False
    for line in out.splitlines():
        if line.startswith("Node 1:"):
            started = True
            continue
        if not started or not line.strip() or line.startswith("="):
            continue
        if line.startswith("\t"):
            other += bytes.fromhex(line.strip())
        else:
            opener += bytes.fromhex(line.strip())
    return bytes(opener), bytes(other)


def tcp_conversations(pcap):
    """Every TCP connection of a capture, in the order of their first SYN, as
    the payload segments in capture order: [(side, payload)], side "client" for
    the endpoint that sent the SYN, "server" for the other. Read straight from
    the file (Ethernet, IPv4 or IPv6 without extension headers), so a test can
    replay each side as it was sent."""
    connections = {}
    for _, _, _, frame in read_pcap(pcap).records:
        ethertype = struct.unpack("!H", frame[12:14])[0]
        if ethertype == 0x0800:
            ip = frame[14:]
            header = (ip[0] & 0x0F) * 4
            if ip[9] != 6:
                continue
            src, dst = ip[12:16], ip[16:20]
            tcp = ip[header:struct.unpack("!H", ip[2:4])[0]]
        elif ethertype == 0x86DD:
            ip = frame[14:]
            if ip[6] != 6:
                continue
            src, dst = ip[8:24], ip[24:40]
            tcp = ip[40:40 + struct.unpack("!H", ip[4:6])[0]]
        else:
            continue
        sport, dport = struct.unpack("!HH", tcp[:4])
        flags = tcp[13]
        payload = tcp[(tcp[12] >> 4) * 4:]
        key = frozenset([(src, sport), (dst, dport)])
        if key not in connections:
            if flags & 0x12 != 0x02:
                raise AssertionError("a connection that does not begin with a SYN")
            connections[key] = ((src, sport), [])
        opener, segments = connections[key]
        if payload:
            segments.append(("client" if (src, sport) == opener else "server", bytes(payload)))
    return [segments for _, segments in connections.values()]


def expected_blocks(size, block):
    """How a sender that cuts `size` bytes into `block`-byte segments sends
    them: full blocks, then the remainder if any."""
    return [block] * (size // block) + ([size % block] if size % block else [])


@dataclass
class TcpSegment:
    frame: int
    stream: int
    ip_version: int
    src_port: int
    dst_port: int
    flags: int
    length: int

    @property
    def push(self):
        return bool(self.flags & 0x08)


def tcp_segments(pcap):
    """Every TCP segment in frame order."""
    rows = tshark_fields(
        pcap,
        ["frame.number", "tcp.stream", "ip.src", "ipv6.src", "tcp.srcport", "tcp.dstport", "tcp.flags", "tcp.len"],
    )
    segments = []
    for number, stream, v4, v6, src, dst, flags, length in rows:
        if not src:
            raise AssertionError(f"frame {number} is not TCP")
        if "," in v4 + v6 or bool(v4) == bool(v6):
            raise AssertionError(f"frame {number}: not exactly one IP header (ip {v4!r}, ipv6 {v6!r})")
        segments.append(
            TcpSegment(int(number), int(stream), 4 if v4 else 6, int(src), int(dst), int(flags, 16), int(length))
        )
    return segments


# --- HTTP/1.1 -------------------------------------------------------------


def export_http_objects(pcap, dest_dir=None):
    """Runs tshark's HTTP object export and returns {file name: content}.

    The files go to `dest_dir`, which must be empty or absent, or else to a
    temporary directory that is removed again.
    """
    if dest_dir is None:
        with tempfile.TemporaryDirectory(prefix="tracemint-export-") as tmp:
            return export_http_objects(pcap, tmp)
    dest = Path(dest_dir)
    dest.mkdir(parents=True, exist_ok=True)
    if any(dest.iterdir()):
        raise ValueError(f"{dest} is not empty")
    tshark("-r", pcap, "-n", "-q", "--export-objects", f"http,{dest}")
    return {p.name: p.read_bytes() for p in sorted(dest.iterdir()) if p.is_file()}


@dataclass
class HttpMessage:
    start_line: str
    headers: list  # [(name, value)] in order
    raw_body: bytes  # as on the wire
    body: bytes  # after transfer decoding (chunked removed), before content decoding
    chunk_sizes: list  # sizes of the data chunks, without the final 0; empty when not chunked
    end: int  # offset just past the message

    def header(self, name):
        """The value of the only header called `name`, or None."""
        values = [v for n, v in self.headers if n.lower() == name.lower()]
        if len(values) > 1:
            raise AssertionError(f"header {name} appears {len(values)} times")
        return values[0] if values else None


def parse_http_message(data, offset=0):
    """Parses one HTTP/1.1 message starting at `offset`, strictly: the body
    is framed by Content-Length or chunked coding (RFC 9112 section 6)."""
    head_end = data.find(b"\r\n\r\n", offset)
    if head_end < 0:
        raise AssertionError("no end of the header section")
    lines = data[offset:head_end].decode("latin-1").split("\r\n")
    headers = []
    for line in lines[1:]:
        name, colon, value = line.partition(":")
        if not colon or not name or name != name.strip():
            raise AssertionError(f"bad header line {line!r}")
        headers.append((name, value.strip()))
    message = HttpMessage(lines[0], headers, b"", b"", [], 0)
    pos = head_end + 4
    encoding = message.header("Transfer-Encoding")
    length = message.header("Content-Length")
    if encoding is not None:
        if encoding.lower() != "chunked":
            raise AssertionError(f"unexpected Transfer-Encoding {encoding!r}")
        if length is not None:
            raise AssertionError("both Transfer-Encoding and Content-Length")
        body, sizes, end = decode_chunked(data, pos)
        message.raw_body, message.body, message.chunk_sizes = data[pos:end], body, sizes
        message.end = end
    elif length is not None:
        if not length.isdigit():
            raise AssertionError(f"bad Content-Length {length!r}")
        end = pos + int(length)
        if end > len(data):
            raise AssertionError(f"Content-Length {length} but only {len(data) - pos} bytes follow")
        message.raw_body = message.body = data[pos:end]
        message.end = end
    else:
        message.end = pos
    return message


def decode_chunked(data, pos):
    """Decodes a chunked body starting at `pos`; returns (body, chunk sizes,
    end offset)."""
    body = bytearray()
    sizes = []
    while True:
        line_end = data.find(b"\r\n", pos)
        if line_end < 0:
            raise AssertionError(f"chunk size line at {pos} does not end")
        size_text = data[pos:line_end].split(b";", 1)[0].strip()
        try:
            size = int(size_text, 16)
        except ValueError:
            raise AssertionError(f"bad chunk size {data[pos:line_end]!r} at {pos}") from None
        pos = line_end + 2
        if size == 0:
            break
        if pos + size + 2 > len(data) or data[pos + size:pos + size + 2] != b"\r\n":
            raise AssertionError(f"chunk of {size} bytes at {pos} is not followed by CRLF")
        body += data[pos:pos + size]
        sizes.append(size)
        pos += size + 2
    # Trailer section, then the empty line.
    while True:
        line_end = data.find(b"\r\n", pos)
        if line_end < 0:
            raise AssertionError("chunked body ends without the final CRLF")
        line = data[pos:line_end]
        pos = line_end + 2
        if not line:
            return bytes(body), sizes, pos


def gunzip_strict(data):
    """Decodes exactly one gzip member (RFC 1952), checking its CRC-32 and
    ISIZE: tshark's decoder shows a body with a wrong trailer as intact."""
    decompressor = zlib.decompressobj(wbits=16 + zlib.MAX_WBITS)
    try:
        out = decompressor.decompress(data) + decompressor.flush()
    except zlib.error as error:
        raise AssertionError(f"gzip body does not decode: {error}") from None
    if not decompressor.eof:
        raise AssertionError("gzip body is truncated")
    if decompressor.unused_data:
        raise AssertionError(f"{len(decompressor.unused_data)} bytes after the gzip member")
    return out


def split_multipart(body, boundary):
    """Splits a multipart body (RFC 2046 section 5.1.1) into
    [(header lines, content)], requiring the close delimiter at the end."""
    delimiter = b"--" + boundary.encode("latin-1")
    if not body.startswith(delimiter + b"\r\n"):
        raise AssertionError("body does not start with the first boundary")
    close = b"\r\n" + delimiter + b"--"
    close_at = body.rfind(close)
    if close_at < 0:
        raise AssertionError("no close delimiter")
    epilogue = body[close_at + len(close):]
    if epilogue not in (b"", b"\r\n"):
        raise AssertionError(f"{len(epilogue)} unexpected bytes after the close delimiter")
    inner = body[len(delimiter) + 2:close_at]
    parts = []
    for part in inner.split(b"\r\n" + delimiter + b"\r\n"):
        head_end = part.find(b"\r\n\r\n")
        if head_end < 0:
            raise AssertionError("part without a header section")
        head = part[:head_end].decode("latin-1").split("\r\n")
        parts.append((head, part[head_end + 4:]))
    return parts
