"""Real clients and servers complete every conversation of our captures.

Each recorded side is played to a real implementation on the loopback: a small
replay server sends the recorded server bytes, turn by turn, whenever the real
client has spoken (curl, nghttp, poplib, imaplib, ftplib), and a driver sends
the recorded client side to a real server (aiosmtpd). The python h2 library
reads both sides of the HTTP/2 conversation with its strict state machines. In
every case the input must come out whole.
"""

import asyncio
import base64
import email
import errno
import email.policy
import os
import random
import re
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest
from pathlib import Path

try:
    import aiosmtpd.smtp
    import h2.config
    import h2.connection
    import h2.events
except ImportError:
    # Debian's packages live with Debian's interpreter; another python3 first on
    # PATH does not see them.
    debian = "/usr/bin/python3"
    if os.path.exists(debian) and os.path.realpath(sys.executable) != os.path.realpath(debian):
        os.execv(debian, [debian, *sys.argv])
    raise

import ftplib  # noqa: E402
import imaplib  # noqa: E402
import poplib  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import verify  # noqa: E402

LOOPBACK = {4: "127.0.0.1", 6: "::1"}
FAMILY = {4: socket.AF_INET, 6: socket.AF_INET6}
# Generous: a failing peer should fail, not hang, but a loaded machine is slow.
TIMEOUT = 30
# How long the replay waits for the real client to speak.
WAIT = 10

PREFACE = b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"
DATA, SETTINGS, WINDOW_UPDATE = 0, 4, 8
ACK = 0x1
INITIAL_WINDOW_SIZE = 4

INPUTS = {
    "empty": b"",
    "1000 bytes": random.Random(1).randbytes(1000),
    "70000 bytes": random.Random(2).randbytes(70000),
    "dot lines": b"".join(b".line %d\r\n..\r\n.\r\n" % i for i in range(40)) + b".",
    # Several rounds of HTTP/2 window updates.
    "200000 bytes": random.Random(3).randbytes(200000),
}
NAME = "my report (v2).pdf"


# --- what counts as the real client having spoken ----------------------------
# A unit reader takes the bytes not yet read and returns (length, answered) for
# the first whole unit, or None while it is incomplete; `answered` says whether
# the unit asks for an answer (a window update does not).


def line_unit(buffer):
    end = buffer.find(b"\n")
    return (end + 1, True) if end >= 0 else None


def http_request_unit(buffer):
    end = buffer.find(b"\r\n\r\n")
    if end < 0:
        return None
    length = re.search(rb"(?im)^content-length:[ \t]*(\d+)", buffer[:end])
    total = end + 4 + (int(length.group(1)) if length else 0)
    return (total, True) if len(buffer) >= total else None


class H2cUnits:
    """The upgrade request, then the connection preface, then frames. Keeps the
    flow-control credit that the client has given for stream 1 and for the
    connection (RFC 9113 section 6.9): its initial window from its settings,
    plus its window updates."""

    def __init__(self):
        self.stage = 0
        self.initial_window = self.stream_credit = self.connection_credit = 65535

    def __call__(self, buffer):
        if self.stage == 0:
            unit = http_request_unit(buffer)
            if unit is not None:
                self.stage = 1
                settings = re.search(rb"(?i)\r\nHTTP2-Settings:[ \t]*([A-Za-z0-9_-]*)", buffer[:unit[0]])
                if settings:
                    text = settings.group(1)
                    self.settings(base64.urlsafe_b64decode(text + b"=" * (-len(text) % 4)))
            return unit
        if self.stage == 1:
            if len(buffer) < len(PREFACE):
                return None
            self.stage = 2
            return (len(PREFACE), True)
        if len(buffer) < 9 or len(buffer) < 9 + int.from_bytes(buffer[:3], "big"):
            return None
        [(kind, flags, stream, payload)] = frames(buffer[:9 + int.from_bytes(buffer[:3], "big")])
        if kind == SETTINGS and not flags & ACK:
            self.settings(payload)
        elif kind == WINDOW_UPDATE:
            increment = int.from_bytes(payload, "big") & 0x7FFFFFFF
            if stream == 0:
                self.connection_credit += increment
            elif stream == 1:
                self.stream_credit += increment
        return (9 + len(payload), kind != WINDOW_UPDATE)

    def settings(self, payload):
        for at in range(0, len(payload) - 5, 6):
            identifier, value = struct.unpack("!HI", payload[at:at + 6])
            if identifier == INITIAL_WINDOW_SIZE:
                self.stream_credit += value - self.initial_window
                self.initial_window = value


def data_octets(segment):
    """The DATA payload octets of a server segment (none in the HTTP/1.1 reply)."""
    if segment.startswith(b"HTTP/"):
        return 0
    return sum(len(payload) for kind, _, _, payload in frames(segment) if kind == DATA)


def stateless(reader):
    return lambda: reader


class UnitCounter:
    def __init__(self, reader):
        self.reader, self.pending, self.answered = reader, b"", 0

    def feed(self, data):
        self.pending += data
        while (unit := self.reader(self.pending)) is not None:
            length, answered = unit
            self.pending = self.pending[length:]
            self.answered += answered


def turns(segments):
    """Consecutive segments of one side gathered into a turn: [(side, [segment])]."""
    out = []
    for side, payload in segments:
        if out and out[-1][0] == side:
            out[-1][1].append(payload)
        else:
            out.append((side, [payload]))
    return out


def listener(ip, port=0):
    sock = socket.socket(FAMILY[ip], socket.SOCK_STREAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    # A fixed port (the FTP data port the capture announces) may be held for a
    # moment by another run.
    deadline = time.monotonic() + TIMEOUT
    while True:
        try:
            sock.bind((LOOPBACK[ip], port))
            break
        except OSError:
            if port == 0 or time.monotonic() > deadline:
                sock.close()
                raise
            time.sleep(0.2)
    sock.listen(4)
    sock.settimeout(TIMEOUT)
    return sock


class Replay:
    """Plays a recorded server side to one real client on the loopback."""

    def __init__(self, ip, segments, units, after_segment=None):
        self.sock = listener(ip)
        self.port = self.sock.getsockname()[1]
        self.turns = turns(segments)
        self.units = units
        self.after_segment = after_segment
        self.received = bytearray()
        self.conn = None
        self.error = None
        self.aborted = False
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        try:
            with self.sock:
                conn, _ = self.sock.accept()
            self.conn = conn
            with conn:
                conn.settimeout(WAIT)
                self._serve(conn)
        except BaseException as error:  # reported when the client is done
            if not self.aborted:
                self.error = error

    def _read(self, conn, real, awaited):
        try:
            chunk = conn.recv(65536)
        except socket.timeout:
            raise AssertionError(f"the client said nothing where {awaited}") from None
        if not chunk:
            raise AssertionError(f"the client closed after {bytes(self.received[-200:])!r}")
        self.received += chunk
        real.feed(chunk)

    def _serve(self, conn):
        recorded, real = UnitCounter(self.units()), UnitCounter(self.units())
        waited = 0
        for side, segments in self.turns:
            if side == "client":
                before = recorded.answered
                recorded.feed(b"".join(segments))
                if recorded.answered == before:
                    continue  # nothing in this turn waits for an answer
                while real.answered <= waited:
                    self._read(conn, real, f"the recorded one sends {b''.join(segments)[:120]!r}")
                waited = real.answered
                continue
            for segment in segments:
                # Like a real server, the replay sends DATA only within the
                # credit the real client has given.
                need = data_octets(segment) if isinstance(real.reader, H2cUnits) else 0
                while need and need > min(real.reader.connection_credit, real.reader.stream_credit):
                    self._read(conn, real, f"{need} octets of DATA wait for credit")
                if need:
                    real.reader.connection_credit -= need
                    real.reader.stream_credit -= need
                conn.sendall(segment)
                if self.after_segment:
                    self.after_segment(segment, self)
        # The server closes first, as recorded; what the client still sends is
        # read, so that no unread byte turns the close into a reset. A client
        # that has what it wanted may have reset the connection already.
        try:
            conn.shutdown(socket.SHUT_WR)
            while chunk := conn.recv(65536):
                self.received += chunk
        except (ConnectionResetError, BrokenPipeError):
            pass
        except OSError as error:
            if error.errno != errno.ENOTCONN:
                raise

    def url(self, ip, path):
        host = LOOPBACK[ip] if ip == 4 else f"[{LOOPBACK[ip]}]"
        return f"http://{host}:{self.port}{path}"

    def __enter__(self):
        return self

    def __exit__(self, kind, error, _):
        """Waits for the replay to end; a fault of the replay is reported
        together with what the client made of it."""
        if error and not self.error:
            # The client gave up: end the replay rather than wait for it.
            self.aborted = True
            for sock in (self.conn, self.sock):
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except (OSError, AttributeError):
                    pass
        self.thread.join(TIMEOUT)
        if self.thread.is_alive():
            raise AssertionError("the replay did not end")
        if self.error and error:
            raise AssertionError(f"{error}\n(the replay server: {self.error})") from error
        if self.error:
            raise self.error
        return False


def run_client(command):
    proc = subprocess.run(command, capture_output=True, timeout=TIMEOUT)
    if proc.returncode != 0:
        raise AssertionError(f"{command[0]} exited {proc.returncode}: {proc.stderr.decode(errors='replace')[-500:]}")
    return proc.stdout


# --- mail ----------------------------------------------------------------


def attachment_part(mail):
    """The mail's last part, which carries the file."""
    message = email.message_from_bytes(mail, policy=email.policy.default)
    return [p for p in message.walk() if not p.is_multipart()][-1]


def uudecoded(work, part):
    """The file as GNU uudecode takes it out of the part's body, saved as a
    mail reader gives it (the line end before the delimiter belongs to the
    delimiter)."""
    body = work.path / "part.uu"
    body.write_bytes(part.get_payload(decode=False).encode("ascii", "surrogateescape"))
    out = work.path / "uudecoded"
    run_client(["uudecode", "-o", str(out), str(body)])
    return out.read_bytes()


def check_mail(test, work, mail, data, encoding):
    part = attachment_part(mail)
    if encoding == 2:
        test.assertEqual(uudecoded(work, part), data, "the attachment as uudecode decodes it")
    test.assertEqual(part.get_filename(), NAME)
    test.assertEqual(part.get_payload(decode=True), data, "the attachment as email decodes it")


def pop3_client(test, work, ip, pcap, data, encoding):
    [control] = verify.tcp_conversations(pcap)
    with Replay(ip, control, stateless(line_unit)) as replay:
        pop = poplib.POP3(LOOPBACK[ip], replay.port, timeout=TIMEOUT)
        pop.user("user")
        pop.pass_("plover")
        _, listing, _ = pop.list()
        _, lines, octets = pop.retr(1)
        pop.quit()
    test.assertEqual(listing, [b"1 %d" % octets], "LIST tells the size RETR gives")
    check_mail(test, work, b"\r\n".join(lines) + b"\r\n", data, encoding)


class GreetingImap(imaplib.IMAP4):
    """imaplib asks for the capabilities even when the greeting has told them
    in its CAPABILITY response code, as ours does (RFC 3501 section 7.1); like
    the recorded client, this one takes the greeting's and asks nothing."""

    def _get_capabilities(self):
        told = self.untagged_responses.pop("CAPABILITY", None)
        if not told:
            return super()._get_capabilities()
        self.capabilities = tuple(told[-1].decode("ascii").upper().split())
        return None


def imap_client(test, work, ip, pcap, data, encoding):
    [control] = verify.tcp_conversations(pcap)
    with Replay(ip, control, stateless(line_unit)) as replay:
        imap = GreetingImap(LOOPBACK[ip], replay.port, timeout=TIMEOUT)
        # The recorded replies carry the tags A01 to A07 (A05 unused): the client
        # tags its commands alike.
        imap.tagpre, imap.tagnum = b"A0", 1
        imap.tagre = re.compile(rb"(?P<tag>A0\d+) (?P<type>[A-Z]+) (?P<data>.*)", re.ASCII)
        imap.login("user", "plover")
        imap.status("INBOX", "(UIDNEXT MESSAGES)")
        imap.select("INBOX")
        status, fetched = imap.uid("FETCH", "1", "(UID RFC822.SIZE BODY.PEEK[])")
        test.assertEqual(status, "OK")
        imap.tagnum = 6
        imap.close()
        imap.logout()
    check_mail(test, work, fetched[0][1], data, encoding)


class SmtpServer:
    """aiosmtpd on the loopback, in a thread of its own; keeps what it received."""

    def __init__(self, ip):
        self.mails = []
        self.loop = asyncio.new_event_loop()
        server = self.loop.run_until_complete(
            self.loop.create_server(lambda: aiosmtpd.smtp.SMTP(self, loop=self.loop), LOOPBACK[ip], 0))
        self.port = server.sockets[0].getsockname()[1]
        threading.Thread(target=self.loop.run_forever, daemon=True).start()

    async def handle_DATA(self, server, session, envelope):
        self.mails.append(envelope.original_content)
        return "250 OK"


SMTP_SERVERS = {}


def smtp_server(test, work, ip, pcap, data, encoding):
    """Our client side, sent turn by turn to aiosmtpd: every reply awaited."""
    if ip not in SMTP_SERVERS:
        SMTP_SERVERS[ip] = SmtpServer(ip)
    server = SMTP_SERVERS[ip]
    [conversation] = verify.tcp_conversations(pcap)
    codes = []
    with socket.create_connection((LOOPBACK[ip], server.port), timeout=TIMEOUT) as sock:
        for side, segments in turns(conversation):
            if side == "client":
                for segment in segments:
                    sock.sendall(segment)
                continue
            reply = b""
            while not re.search(rb"(^|\r\n)\d{3} [^\r\n]*\r\n$", reply):
                chunk = sock.recv(65536)
                if not chunk:
                    raise AssertionError(f"the server closed after {reply!r}")
                reply += chunk
            codes.append(reply.splitlines()[-1][:3].decode())
    test.assertEqual(codes, ["220", "250", "250", "250", "354", "250", "221"])
    check_mail(test, work, server.mails.pop(), data, encoding)


# --- FTP -------------------------------------------------------------------


def ftp_client(test, work, ip, pcap, data, passive):
    control, transfer = verify.tcp_conversations(pcap)
    recorded = b"".join(payload for _, payload in transfer)
    announced = re.search(rb"^22[79] .*?(\d+),(\d+)\)|\|\|\|(\d+)\|", b"".join(p for _, p in control), re.M)
    data_listener = None
    if passive:
        # The client connects to the port the recorded reply names, at the
        # control connection's address.
        low = announced.group(3)
        port = int(low) if low else int(announced.group(1)) * 256 + int(announced.group(2))
        data_listener = listener(ip, port)

    def serve_data(segment, replay):
        if not segment.startswith(b"150 "):
            return
        if passive:
            with data_listener:
                conn, _ = data_listener.accept()
        else:
            port_line = re.findall(rb"(?:PORT \d+,\d+,\d+,\d+,(\d+),(\d+)|EPRT \|\d\|[^|]+\|(\d+)\|)",
                                   bytes(replay.received))[-1]
            port = int(port_line[2]) if port_line[2] else int(port_line[0]) * 256 + int(port_line[1])
            conn = socket.create_connection((LOOPBACK[ip], port), timeout=TIMEOUT)
        with conn:
            conn.sendall(recorded)
            conn.shutdown(socket.SHUT_WR)

    try:
        with Replay(ip, control, stateless(line_unit), serve_data) as replay:
            ftp = ftplib.FTP(timeout=TIMEOUT)
            ftp.connect(LOOPBACK[ip], replay.port)
            ftp.login("fileserver", "kez")
            test.assertTrue(ftp.sendcmd("SYST").startswith("215 "))
            ftp.set_pasv(passive)
            received = bytearray()
            ftp.retrbinary("RETR " + NAME, received.extend)
            ftp.quit()
    finally:
        if data_listener:
            data_listener.close()
    test.assertEqual(bytes(received), data)


# --- HTTP ------------------------------------------------------------------


def curl_get(test, work, ip, pcap, data, encoder):
    [conversation] = verify.tcp_conversations(pcap)
    with Replay(ip, conversation, stateless(http_request_unit)) as replay:
        compressed = ["--compressed"] if encoder in (1, 3) else []
        body = run_client(["curl", "-sS", "--fail", *compressed, "--max-time", str(TIMEOUT),
                           replay.url(ip, "/tracemint/report")])
    test.assertEqual(body, data)


def curl_post(test, work, ip, pcap, data, _):
    [conversation] = verify.tcp_conversations(pcap)
    with Replay(ip, conversation, stateless(http_request_unit)) as replay:
        upload = work.write("upload", data)
        run_client(["curl", "-sS", "--fail", "--max-time", str(TIMEOUT),
                    "-F", f"file=@{upload}", replay.url(ip, "/tracemint.cgi")])
    # The replay read the whole upload before it answered.
    test.assertIn(data, bytes(replay.received))


def curl_h2c(test, work, ip, pcap, data, _):
    [conversation] = verify.tcp_conversations(pcap)
    with Replay(ip, conversation, H2cUnits) as replay:
        body = run_client(["curl", "-sS", "--fail", "--http2", "--max-time", str(TIMEOUT),
                           replay.url(ip, "/tracemint/report")])
    test.assertEqual(body, data)


def nghttp_h2c(test, work, ip, pcap, data, _):
    [conversation] = verify.tcp_conversations(pcap)
    with Replay(ip, conversation, H2cUnits) as replay:
        body = run_client(["nghttp", "-u", "-t", str(TIMEOUT), replay.url(ip, "/tracemint/report")])
    test.assertEqual(body, data)


def frames(segment):
    """The (type, flags, stream, payload) of each whole frame in a segment."""
    out, pos = [], 0
    while pos < len(segment):
        length = int.from_bytes(segment[pos:pos + 3], "big")
        stream = int.from_bytes(segment[pos + 5:pos + 9], "big") & 0x7FFFFFFF
        out.append((segment[pos + 3], segment[pos + 4], stream, segment[pos + 9:pos + 9 + length]))
        pos += 9 + length
    return out


def h2_both_sides(test, work, ip, pcap, data, _):
    """A client-side h2 connection reads the server's bytes, a server-side one
    the client's, in the recorded order. Each mirrors what its peer did (the
    client's window updates, the server's headers, data and GOAWAY), so both
    check the flow-control windows as well as the framing and stream states."""
    [conversation] = verify.tcp_conversations(pcap)
    (_, upgrade), (_, switching), *rest = conversation
    test.assertTrue(switching.startswith(b"HTTP/1.1 101 "))
    settings = re.search(rb"\r\nHTTP2-Settings: (\S+)\r\n", upgrade).group(1)
    client = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True, header_encoding=None))
    client.initiate_upgrade_connection()
    server = h2.connection.H2Connection(h2.config.H2Configuration(client_side=False, header_encoding=None))
    server.initiate_upgrade_connection(settings_header=settings)
    body, terminated = bytearray(), None
    for side, segment in rest:
        if side == "client":
            server.receive_data(segment)
            for kind, _, stream, payload in frames(segment):
                if kind == WINDOW_UPDATE:
                    increment = int.from_bytes(payload, "big")
                    client.increment_flow_control_window(increment, stream_id=stream or None)
            continue
        for event in client.receive_data(segment):
            if isinstance(event, h2.events.ResponseReceived):
                server.send_headers(event.stream_id, event.headers)
            elif isinstance(event, h2.events.DataReceived):
                body += event.data
                server.send_data(event.stream_id, event.data)
            elif isinstance(event, h2.events.StreamEnded):
                server.end_stream(event.stream_id)
            elif isinstance(event, h2.events.ConnectionTerminated):
                terminated = event
                server.close_connection(last_stream_id=event.last_stream_id)
    test.assertEqual(bytes(body), data)
    test.assertIsNotNone(terminated, "no GOAWAY")
    test.assertEqual((terminated.error_code, terminated.last_stream_id), (0, 1), "GOAWAY: NO_ERROR, last stream 1")


# --- the table ---------------------------------------------------------------

ALL = ["empty", "1000 bytes", "70000 bytes", "dot lines"]
BIG = ["70000 bytes"]

# (peer, mode arguments, the peer's parameter, inputs over IPv4, inputs over IPv6)
CASES = [
    *[(curl_get, ["-m", "h", "--http-encoder", str(e)], e, ALL, BIG) for e in range(4)],
    (curl_post, ["-m", "H"], None, ALL, BIG),
    (curl_h2c, ["-m", "h2"], None, ALL, BIG),
    (nghttp_h2c, ["-m", "h2"], None, ["empty", "70000 bytes", "200000 bytes"], ["200000 bytes"]),
    (h2_both_sides, ["-m", "h2"], None, ALL + ["200000 bytes"], []),
    *[(pop3_client, ["-m", "p", "-e", str(e)], e, ALL, BIG) for e in range(3)],
    *[(imap_client, ["-m", "i", "-e", str(e)], e, ALL, BIG) for e in range(3)],
    *[(smtp_server, ["-m", "s", "-e", str(e)], e, ALL, BIG) for e in range(3)],
    (ftp_client, ["-m", "f"], False, ALL, BIG),
    (ftp_client, ["-m", "F"], True, ALL, BIG),
]


class PeersTest(unittest.TestCase):
    def test_real_peers_complete_every_conversation(self):
        for peer, args, parameter, inputs4, inputs6 in CASES:
            for ip, inputs in ((4, inputs4), (6, inputs6)):
                for input_name in inputs:
                    with self.subTest(peer=peer.__name__, args=" ".join(args), ip=ip, input=input_name):
                        with verify.WorkDir() as work:
                            data = INPUTS[input_name]
                            work.write(NAME, data)
                            family = ["-6"] if ip == 6 else []
                            work.run(*args, *family, "-o", "out.pcap", NAME)
                            peer(self, work, ip, str(work.path / "out.pcap"), data, parameter)


if __name__ == "__main__":
    unittest.main()
