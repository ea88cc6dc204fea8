"""Mail modes s (SMTP), p (POP3) and i (IMAP) in the three attachment
encodings: every capture must be clean for tshark, and the mail it carries
must give the input back byte for byte once a receiver has parsed it as MIME
and decoded the attachment."""

import binascii
import email
import email.policy
import random
import re
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import verify  # noqa: E402

MODES = {"s": ("smtp", 25), "p": ("pop3", 110), "i": ("imap", 143)}
ENCODINGS = {0: "base64", 1: "quoted-printable", 2: "uu"}


def mixed_content(size, seed=4711):
    """Random stretches alternating with text lines that are hard on the
    encoders: lines that begin with "." or "=", spaces and tabs before line
    ends, bare CR and LF. The size is a multiple of 45 plus 14, so the last
    UU line has the count character for 14, which is a "."."""
    rng = random.Random(seed)
    out = bytearray()
    while len(out) < size:
        if rng.randrange(2):
            out += rng.randbytes(rng.randrange(200, 3000))
        else:
            for _ in range(rng.randrange(5, 40)):
                out += rng.choice([b".", b"..", b"=", b" ", b"\t", b"x"]) * rng.randrange(1, 4)
                out += b"word " * rng.randrange(0, 20)
                out += rng.choice([b" \t", b"  ", b"\t", b"="]) + rng.choice([b"\r\n", b"\n", b"\r"])
    return bytes(out[:size])


# 75 printable characters fill a quoted-printable line, so every line of this
# one begins with "." (the first because the attachment does); a receiver that
# is not sent those dots doubled drops them.
DOT_LINES = (b"." + b"y" * 74) * 40 + b".\r\n.." + b"z" * 70 + b". ."

INPUTS = {
    "mixed.bin": mixed_content(45 * 900 + 14),
    "dot-lines.txt": DOT_LINES,
    "empty": b"",
}


def unstuff(data):
    """What an SMTP or POP3 receiver makes of the mail stream: the line with
    one dot ends it, and a dot that begins any other line is removed."""
    lines = data.split(b"\r\n")
    if b"." in lines:
        lines = lines[:lines.index(b".")] + [b""]
    return b"\r\n".join(line[1:] if line.startswith(b".") else line for line in lines)


def decode_uu(body, name):
    """The bytes of the UU lines that follow "begin 644 NAME", up to "end"."""
    lines = body.split(b"\r\n")
    begin = f"begin 644 {name}".encode()
    if begin not in lines:
        raise AssertionError(f"no line {begin!r} in the attachment")
    out = bytearray()
    for line in lines[lines.index(begin) + 1:]:
        if line == b"end":
            return bytes(out)
        out += binascii.a2b_uu(line)
    raise AssertionError("UU data without its end line")


def attachment_of(mail, encoding, name):
    """Parses a mail as MIME and decodes its second part as a mail client
    would."""
    message = email.message_from_bytes(mail, policy=email.policy.compat32)
    if not message.is_multipart():
        raise AssertionError("the mail is not multipart")
    parts = message.get_payload()
    if len(parts) != 2:
        raise AssertionError(f"{len(parts)} parts, expected a text part and the attachment")
    text, attachment = parts
    if text.get_content_type() != "text/plain":
        raise AssertionError(f"first part is {text.get_content_type()}")
    if encoding == 2:
        return decode_uu(attachment.get_payload(decode=False).encode("latin-1"), name)
    cte = attachment.get("Content-Transfer-Encoding", "").strip()
    if cte != ENCODINGS[encoding]:
        raise AssertionError(f"Content-Transfer-Encoding {cte!r}")
    return attachment.get_payload(decode=True)


def export_mail(pcap, work):
    """The one mail that tshark's IMF object export finds in a capture."""
    dest = work.path / f"export-{Path(pcap).stem}"
    dest.mkdir()
    verify.tshark("-r", pcap, "-n", "-q", "--export-objects", f"imf,{dest}")
    files = sorted(p for p in dest.iterdir() if p.is_file())
    if len(files) != 1:
        raise AssertionError(f"{pcap}: exported {[p.name for p in files]}")
    return files[0].read_bytes()


FETCH_REPLY = re.compile(rb"\* 1 FETCH \(UID 1 RFC822\.SIZE (\d+) BODY\[\] \{(\d+)\}\r\n")


def imap_literal(server):
    """The literal of the FETCH reply, by the length it announces; what
    follows it must close the reply."""
    match = FETCH_REPLY.search(server)
    if match is None:
        raise AssertionError("no FETCH reply with a literal")
    size, length = int(match.group(1)), int(match.group(2))
    if size != length:
        raise AssertionError(f"RFC822.SIZE {size} but literal of {length}")
    literal = server[match.end():match.end() + length]
    rest = server[match.end() + length:]
    if not rest.startswith(b")\r\nA04 OK Fetch completed.\r\n"):
        raise AssertionError(f"after the literal of {length} octets: {rest[:40]!r}")
    return literal


def pop3_mail(server):
    """The mail of the RETR reply and the count that the reply announces."""
    match = re.search(rb"\+OK (\d+) octets\r\n", server)
    if match is None:
        raise AssertionError("no RETR reply with an octet count")
    end = server.find(b"\r\n.\r\n", match.end())
    if end < 0:
        raise AssertionError("RETR reply without its terminating line")
    return int(match.group(1)), unstuff(server[match.end():end + 5])


class MailTest(unittest.TestCase):
    def run_modes(self, work, name, content, encoding, ipv6=False, extra=()):
        work.write(name, content)
        args = ["-m", "spi", "-e", str(encoding), *extra, *(["-6"] if ipv6 else []), name]
        work.run(*args)
        return {m: work.path / f"{name}-{proto}.pcap" for m, (proto, _) in MODES.items()}

    def check_mail_capture(self, work, pcap, mode, name, content, encoding, ipv6):
        proto, port = MODES[mode]
        verify.check_capture(pcap)
        segments = verify.tcp_segments(pcap)
        self.assertEqual({s.ip_version for s in segments}, {6 if ipv6 else 4})
        self.assertEqual({s.stream for s in segments}, {0})
        self.assertEqual(segments[0].dst_port, port)
        dissected = {"s": "smtp", "p": "pop", "i": "imap"}[mode]
        self.assertGreater(verify.count_frames(pcap, dissected), 0, f"tshark shows no {dissected}")

        client, server = verify.tcp_stream_bytes(pcap)
        if mode == "i":
            literal = imap_literal(server)
            self.assertEqual(export_mail(pcap, work), literal)
            mail = literal
        else:
            exported = export_mail(pcap, work)
            mail = unstuff(exported)
            if mode == "p":
                count, retr = pop3_mail(server)
                self.assertEqual(count, len(retr), "the RETR reply's octet count")
                self.assertEqual(retr, mail)
        decoded = attachment_of(mail, encoding, name)
        self.assertTrue(decoded == content, f"attachment: {len(decoded)} bytes decoded, input {len(content)}")

    def test_every_mode_and_encoding_gives_the_file_back(self):
        for name, content in INPUTS.items():
            for encoding in ENCODINGS:
                for ipv6 in (False, True):
                    if name != "mixed.bin" and ipv6:
                        continue
                    with self.subTest(name=name, encoding=ENCODINGS[encoding], ipv6=ipv6):
                        with verify.WorkDir() as work:
                            pcaps = self.run_modes(work, name, content, encoding, ipv6)
                            for mode, pcap in pcaps.items():
                                with self.subTest(mode=mode):
                                    self.check_mail_capture(work, pcap, mode, name, content, encoding, ipv6)

    def test_quoted_printable_lines_that_begin_with_a_dot_are_stuffed_for_smtp_and_pop3_only(self):
        def between(data, start, end):
            at = data.index(start) + len(start)
            return data[at:data.index(end, at)]

        with verify.WorkDir() as work:
            pcaps = self.run_modes(work, "dot-lines.txt", DOT_LINES, 1)
            client, _ = verify.tcp_stream_bytes(pcaps["s"])
            _, pop3 = verify.tcp_stream_bytes(pcaps["p"])
            _, imap = verify.tcp_stream_bytes(pcaps["i"])
        name_end = b'dot-lines.txt"\r\n\r\n'
        smtp_body = between(client, name_end, b"\r\n--------------020106020307040709020108--")
        pop3_body = between(pop3, name_end, b"\r\n--------------070104010108080805080502--")
        imap_body = between(imap, b"quoted-printable\r\n\r\n", b"\r\n--refeics-")
        dot_lines = re.findall(rb"(?:^|\r\n)\.", imap_body)
        self.assertGreaterEqual(len(dot_lines), 40)
        stuffed = re.sub(rb"(^|\r\n)\.", rb"\1..", imap_body)
        self.assertEqual(smtp_body, stuffed)
        self.assertEqual(pop3_body, stuffed)

    def test_a_seed_reproduces_the_captures_and_only_the_filler_varies_without_one(self):
        content = INPUTS["mixed.bin"][:5000]
        for encoding in ENCODINGS:
            with self.subTest(encoding=ENCODINGS[encoding]), verify.WorkDir() as a, verify.WorkDir() as b:
                seeded_a = self.run_modes(a, "in.bin", content, encoding, extra=["--seed", "77"])
                seeded_b = self.run_modes(b, "in.bin", content, encoding, extra=["--seed", "77"])
                for mode in MODES:
                    self.assertEqual(seeded_a[mode].read_bytes(), seeded_b[mode].read_bytes(), mode)

            with self.subTest(encoding=ENCODINGS[encoding], seed=None):
                texts = []
                for _ in range(2):
                    with verify.WorkDir() as work:
                        pcaps = self.run_modes(work, "in.bin", content, encoding)
                        texts.append({m: self.without_filler(m, verify.tcp_stream_bytes(p)) for m, p in pcaps.items()})
                self.assertEqual(texts[0], texts[1])

    def without_filler(self, mode, streams):
        """Both directions of a dialogue with the filler text cut out, and
        the counts of POP3 and IMAP, which follow its length, blanked."""
        client, server = streams
        mail_side = client if mode == "s" else server
        opener = {"s": b"7bit\r\n\r\n", "p": b"7bit\r\n\r\n", "i": b"charset=UTF-8\r\n\r\n"}[mode]
        closer = {"s": b"--------------0201", "p": b"\r\n--------------0701", "i": b"--refeics-"}[mode]
        start = mail_side.index(opener) + len(opener)
        end = mail_side.index(closer, start)
        filler = mail_side[start:end]
        self.assertTrue(filler.endswith(b"\r\n\r\n\r\n"), filler)
        lines = filler[:-4].split(b"\r\n")[:-1]
        self.assertTrue(1 <= len(lines) <= 3, filler)
        self.assertTrue(all(0x20 <= c < 0x7F for c in b"".join(lines)), filler)
        mail_side = mail_side[:start] + b"<filler>" + mail_side[end:]
        mail_side = re.sub(rb"\+OK \d+ octets", b"+OK N octets", mail_side)
        mail_side = re.sub(rb"\+OK 1 message \(\d+ octets\)\r\n1 \d+\r\n",
                           b"+OK 1 message (N octets)\r\n1 N\r\n", mail_side)
        mail_side = re.sub(rb"RFC822\.SIZE \d+ BODY\[\] \{\d+\}", b"RFC822.SIZE N BODY[] {N}", mail_side)
        return (mail_side, server) if mode == "s" else (client, mail_side)

    def test_the_file_path_is_sent_whole(self):
        with verify.WorkDir() as work:
            content = b"attached from a folder\r\n"
            work.write("sub dir/in file.bin", content)
            work.run("-m", "spi", "-e", "2", "sub dir/in file.bin")
            for mode, (proto, _) in MODES.items():
                with self.subTest(mode=mode):
                    pcap = work.path / f"in file.bin-{proto}.pcap"
                    self.check_mail_capture(work, pcap, mode, "sub dir/in file.bin", content, 2, False)


if __name__ == "__main__":
    unittest.main()
