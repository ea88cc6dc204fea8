"""The file a capture carries, pulled out the way a receiver would get it, for
any mode: the tests that run several modes side by side use this. The mail
helpers come from the mail test, the others from tshark directly."""

import runpy
from pathlib import Path

import verify

MAIL = runpy.run_path(str(Path(__file__).resolve().parent / "mail-test.py"))


def name_in_header(name):
    """The input's name as the mail and form headers carry it."""
    return name.replace("\r", "%0D").replace("\n", "%0A").replace('"', "%22")


def option_value(options, flag, default):
    return options[options.index(flag) + 1] if flag in options else default


def carried_file(work, name, options, pcap):
    """The file inside `pcap`, written by tracemint with `options` (which give
    the mode with "-m" and, for mail, the encoding with "-e") from input `name`."""
    mode = option_value(options, "-m", "h")
    pcap = str(pcap)
    if mode in ("h", "H"):
        objects = verify.export_http_objects(pcap)
        if mode == "H":
            # The upload is the one request body; tshark exports it whole, with
            # its multipart framing around the file.
            body = next(iter(objects.values()))
            parts = verify.split_multipart(body, FORM_BOUNDARY)
            assert len(parts) == 1, f"{pcap}: {len(parts)} parts"
            return parts[0][1]
        assert len(objects) == 1, f"{pcap}: exported {len(objects)} objects"
        return next(iter(objects.values()))
    if mode in ("x", "h2"):
        rows = verify.tshark("-r", pcap, "-n", "-Y", "http2.body.reassembled.data", "-T", "fields",
                             "-e", "http2.body.reassembled.data").splitlines()
        if not rows:
            return b""
        assert len(rows) == 1, f"{pcap}: {len(rows)} reassembled bodies"
        return bytes.fromhex(rows[0])
    if mode in ("s", "p", "i"):
        encoding = int(option_value(options, "-e", "0"))
        if mode == "i":
            _, server = verify.tcp_stream_bytes(pcap)
            mail = MAIL["imap_literal"](server)
        else:
            mail = MAIL["unstuff"](MAIL["export_mail"](pcap, work))
        return MAIL["attachment_of"](mail, encoding, name_in_header(name))
    # FTP: the data connection is the second TCP stream; the server opens it in
    # active mode, the client in passive mode.
    opener, other = verify.tcp_stream_bytes(pcap, stream=1)
    return opener if mode == "f" else other


FORM_BOUNDARY = "---------------------------8173728711543081858379436204"
