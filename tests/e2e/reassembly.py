"""A small receiving host, written from the protocols, that reads a capture and
puts the TCP streams back together as a host behind the capture point would.

IPv4 and IPv6 datagrams are rebuilt from their fragments by offset (RFC 791,
RFC 8200 section 4.5) and TCP streams by sequence number (RFC 9293). Where two
copies of the same octets conflict, the host's policy decides: "first" keeps
the octets that arrived first, "last" lets later ones replace them. What a host
honours can be switched off one by one, to play a sensor that does not:

- ttl: the host sits `hops` routers past the capture point, so a packet that
  passes it with a TTL (hop limit) of `hops` or less never reaches the host;
- checksums: an IPv4 header or a TCP segment whose checksum fails is dropped;
- window: octets the host has acknowledged are final (a segment left of the
  window is dropped), and so are octets beyond the window it announced;
- rst: a RST inside the window closes the connection; nothing of it after
  that is taken.

The result is, per connection (in the order of their SYNs), the octets each
side sent as the host has them: the contiguous stream from the first octet
after the SYN.
"""

import struct
from dataclasses import dataclass, field

from verify import read_pcap


@dataclass
class Host:
    policy: str = "first"  # or "last"
    ttl: bool = True
    checksums: bool = True
    window: bool = True
    rst: bool = True
    hops: int = 1


def ones_complement_sum(data):
    if len(data) % 2:
        data = data + b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return total


def tcp_checksum_holds(src, dst, segment):
    if len(src) == 4:
        pseudo = src + dst + struct.pack("!BBH", 0, 6, len(segment))
    else:
        pseudo = src + dst + struct.pack("!IxxxB", len(segment), 6)
    return ones_complement_sum(pseudo + segment) == 0xFFFF


@dataclass
class Fragments:
    octets: bytearray = field(default_factory=lambda: bytearray(65536))
    have: bytearray = field(default_factory=lambda: bytearray(65536))
    total: int = -1


@dataclass
class Direction:
    base: int = 0  # sequence number of the first octet after the SYN
    octets: bytearray = field(default_factory=bytearray)
    have: bytearray = field(default_factory=bytearray)
    acked: int = 0  # octets the receiver has acknowledged (relative to base)
    window: int = -1  # the receiver's last announced window in octets; -1: not known
    scale: int = 0  # the receiver's window shift

    def stream(self):
        end = self.have.find(0)
        return bytes(self.octets[: len(self.have) if end < 0 else end])


@dataclass
class Connection:
    ends: tuple  # (client address, client port, server address, server port)
    sides: list = field(default_factory=lambda: [Direction(), Direction()])
    scales: list = field(default_factory=lambda: [0, 0])
    closed: bool = False

    def streams(self):
        return [side.stream() for side in self.sides]


def ip_packets(pcap_path):
    """(version, src, dst, ttl, header ok, fragment id or None, offset, more, payload) per frame."""
    for _, _, _, frame in read_pcap(pcap_path).records:
        kind = struct.unpack("!H", frame[12:14])[0]
        at = 14
        while kind in (0x8100, 0x88A8):
            kind = struct.unpack("!H", frame[at + 2:at + 4])[0]
            at += 4
        ip = frame[at:]
        if kind == 0x0800:
            length = (ip[0] & 0x0F) * 4
            total = struct.unpack("!H", ip[2:4])[0]
            field_ = struct.unpack("!H", ip[6:8])[0]
            offset, more = (field_ & 0x1FFF) * 8, bool(field_ & 0x2000)
            ident = (ip[12:16], ip[16:20], struct.unpack("!H", ip[4:6])[0])
            fragment = ident if offset or more else None
            yield (4, ip[12:16], ip[16:20], ip[8], ones_complement_sum(ip[:length]) == 0xFFFF,
                   fragment, offset, more, ip[length:total])
        elif kind == 0x86DD:
            plen = struct.unpack("!H", ip[4:6])[0]
            src, dst, payload = ip[8:24], ip[24:40], ip[40:40 + plen]
            if ip[6] == 44:
                field_ = struct.unpack("!H", payload[2:4])[0]
                ident = (src, dst, struct.unpack("!I", payload[4:8])[0])
                yield (6, src, dst, ip[7], True, ident, field_ & 0xFFF8, bool(field_ & 1), payload[8:])
            else:
                yield (6, src, dst, ip[7], True, None, 0, False, payload)


def datagrams(pcap_path, host):
    """The TCP segments the host gets: (src, dst, segment), fragments rebuilt."""
    pending = {}
    for _, src, dst, ttl, header_ok, ident, offset, more, payload in ip_packets(pcap_path):
        if host.ttl and ttl <= host.hops:
            continue
        if host.checksums and not header_ok:
            continue
        if ident is None:
            yield src, dst, payload
            continue
        parts = pending.setdefault(ident, Fragments())
        if not more:
            parts.total = offset + len(payload)
        for k, octet in enumerate(payload):
            if host.policy == "last" or not parts.have[offset + k]:
                parts.octets[offset + k] = octet
            parts.have[offset + k] = 1
        if parts.total >= 0 and all(parts.have[: parts.total]):
            del pending[ident]
            yield src, dst, bytes(parts.octets[: parts.total])


def window_scale(options):
    k = 0
    while k < len(options):
        kind = options[k]
        if kind == 0:
            break
        if kind == 1:
            k += 1
            continue
        if kind == 3:
            return options[k + 2]
        k += max(options[k + 1], 2)
    return 0


def reassemble(pcap_path, host):
    connections = []
    by_ends = {}
    for src, dst, segment in datagrams(pcap_path, host):
        if host.checksums and not tcp_checksum_holds(src, dst, segment):
            continue
        sport, dport, seq, ack, offset_flags, window = struct.unpack("!HHIIHH", segment[:16])
        header = (offset_flags >> 12) * 4
        flags = offset_flags & 0x3F
        syn, rst, has_ack = flags & 0x02, flags & 0x04, flags & 0x10
        data = segment[header:]
        if syn and not has_ack:
            conn = Connection((src, sport, dst, dport))
            conn.sides[0].base = (seq + 1) % 2**32
            conn.scales[0] = window_scale(segment[20:header])
            by_ends[conn.ends] = conn
            connections.append(conn)
            continue
        conn = by_ends.get((src, sport, dst, dport)) or by_ends.get((dst, dport, src, sport))
        if conn is None or conn.closed:
            continue
        d = 0 if conn.ends[:2] == (src, sport) else 1
        mine, theirs = conn.sides[d], conn.sides[1 - d]
        if syn:
            mine.base = (seq + 1) % 2**32
            conn.scales[1] = window_scale(segment[20:header])
            theirs.window = window  # never scaled in a SYN
            continue
        rel = (seq - mine.base) % 2**32
        if rel >= 2**31:
            rel -= 2**32
        if rst:
            inside = mine.acked <= rel and (mine.window < 0 or rel < mine.acked + max(mine.window, 1))
            if host.rst and (inside or not host.window):
                conn.closed = True
            continue
        if has_ack:
            done = (ack - theirs.base) % 2**32
            if done < 2**31 and done > theirs.acked:
                theirs.acked = done
            theirs.window = window << conn.scales[d]
        start, end = rel, rel + len(data)
        if host.window:
            start = max(start, mine.acked)
            if mine.window >= 0:
                end = min(end, mine.acked + mine.window)
        if end <= start or start < 0:
            continue
        if len(mine.octets) < end:
            grow = end - len(mine.octets)
            mine.octets.extend(bytes(grow))
            mine.have.extend(bytes(grow))
        for at in range(start, end):
            if host.policy == "last" or not mine.have[at]:
                mine.octets[at] = data[at - rel]
            mine.have[at] = 1
    return connections
