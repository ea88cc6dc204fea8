"""The texts a rule keys on can be chosen: --name announces a file name instead
of the input path (so no local directory ends up in a shared capture), --host
names the server, --user-agent the clients, --content-type the file's type. In
every mode the capture stays clean, the receiver gets the file whole, and the
lengths that frame the texts (Content-Length, the POP3 octet count, the IMAP
literal) stay exact."""

import email
import email.policy
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import verify  # noqa: E402
from extract import MAIL, carried_file  # noqa: E402

CONTENT = bytes(range(256)) * 7 + b".line\r\n" * 9
# Every component is distinctive, so a trace of any of them shows up in a grep.
DIRECTORY = "home-q7x/alice-q7x/cases-q7x/2026-q7x/incident.q7x/x"
NAME = "evil.exe"

RUNS = [["-m", "h"], ["-m", "h", "--http-encoder", "3"], ["-m", "H"], ["-m", "x"],
        ["-m", "s", "-e", "0"], ["-m", "s", "-e", "2"], ["-m", "p", "-e", "1"],
        ["-m", "p", "-e", "2"], ["-m", "i", "-e", "0"], ["-m", "i", "-e", "2"], ["-m", "f"],
        ["-m", "F"]]

HOST = "mx.corp-test.example"
AGENT = "RuleTest/3.1 (compatible; q7x-agent)"
TYPE = 'application/x-dosexec; comment="chosen type"'


class AnnouncedName(unittest.TestCase):
    def test_no_trace_of_the_input_directory_in_any_mode(self):
        # The directory as typed, as the URL path encodes it, and as the mail
        # and form headers would carry it.
        traces = [DIRECTORY, "".join(c if c.isalnum() else "%%%02x" % ord(c) for c in DIRECTORY),
                  "q7x"]
        # pcapng with notes as well: the section comment names the options, and
        # notes quote the protocol texts.
        runs = [(options, "out.pcap") for options in RUNS] + \
            [(options + ["--annotate"], "out.pcapng") for options in RUNS[::3]]
        for options, output in runs:
            with self.subTest(options=options), verify.WorkDir() as work:
                work.write(f"{DIRECTORY}/{NAME}", CONTENT)
                work.run(*options, "--seed", "4", "--name", NAME, f"{DIRECTORY}/{NAME}",
                         "-o", output)
                pcap = work.path / output
                verify.check_capture(str(pcap))
                raw = pcap.read_bytes()
                for trace in traces + DIRECTORY.split("/")[:-1]:
                    self.assertNotIn(trace.encode(), raw)
                    self.assertNotIn(trace.upper().encode(), raw)
                self.assertIn(NAME.encode() if options[1] in "HspiFf" else b"evil%2eexe", raw)
                data = carried_file(work, NAME, options, pcap)
                self.assertTrue(data == CONTENT, f"{len(data)} bytes, input {len(CONTENT)}")

    def test_the_same_name_gives_the_same_capture_whatever_the_path(self):
        with verify.WorkDir() as work:
            work.write("b.txt", CONTENT)
            paths = ["b.txt", "./b.txt", str(work.path / "b.txt")]
            for number, path in enumerate(paths):
                work.run("-m", "hsF", "--seed", "9", "--name", "b.txt", path)
                for suffix in ("-http-get.pcap", "-smtp.pcap", "-ftp-passive.pcap"):
                    (work.path / f"b.txt{suffix}").rename(work.path / f"{number}{suffix}")
            for suffix in ("-http-get.pcap", "-smtp.pcap", "-ftp-passive.pcap"):
                first = (work.path / f"0{suffix}").read_bytes()
                for number in (1, 2):
                    self.assertEqual((work.path / f"{number}{suffix}").read_bytes(), first, suffix)

    def test_a_file_in_a_long_directory_can_be_written_under_a_short_name(self):
        with verify.WorkDir() as work:
            path = f"{'d' * 251}/{NAME}"
            work.write(path, CONTENT)
            refused = work.run("-m", "h", path, expect_status=255)
            self.assertIn("URL encoder: Filename too long", refused.stderr)
            work.run("-m", "hx", "--name", NAME, path)
            for options, suffix in ((["-m", "h"], "-http-get.pcap"), (["-m", "x"], "-http2-get.pcap")):
                pcap = work.path / f"{NAME}{suffix}"
                verify.check_capture(str(pcap))
                self.assertEqual(carried_file(work, NAME, options, pcap), CONTENT)


class ChosenTexts(unittest.TestCase):
    def run_mode(self, work, options):
        work.write("in.bin", CONTENT)
        work.run(*options, "--seed", "2", "--host", HOST, "--user-agent", AGENT,
                 "--content-type", TYPE, "in.bin", "-o", "out.pcap")
        pcap = str(work.path / "out.pcap")
        verify.check_capture(pcap)
        data = carried_file(work, "in.bin", options, pcap)
        self.assertTrue(data == CONTENT, f"{len(data)} bytes, input {len(CONTENT)}")
        return pcap

    def test_http_modes_carry_the_chosen_host_agent_and_type(self):
        for encoder in ("0", "1", "2", "3"):
            with self.subTest(encoder=encoder), verify.WorkDir() as work:
                pcap = self.run_mode(work, ["-m", "h", "--http-encoder", encoder])
                rows = verify.tshark_fields(pcap, ["http.host", "http.user_agent", "http.content_type"],
                                            "http")
                self.assertEqual(rows, [[HOST, AGENT, ""], ["", "", TYPE]])
        with verify.WorkDir() as work:
            pcap = self.run_mode(work, ["-m", "H"])
            rows = verify.tshark_fields(pcap, ["http.host", "http.user_agent",
                                               "mime_multipart.header.content-type"], "http.request")
            # tshark shows the part's parameters without the space before them.
            self.assertEqual(rows, [[HOST, AGENT, TYPE.replace("; ", ";")]])
        with verify.WorkDir() as work:
            pcap = self.run_mode(work, ["-m", "x"])
            upgrade = verify.tshark_fields(pcap, ["http.host", "http.user_agent"], "http.request")
            self.assertEqual(upgrade, [[HOST, AGENT]])
            headers = verify.tshark_fields(pcap, ["http2.header.name", "http2.header.value"],
                                           "http2.type == 1")
            fields = [dict(zip(names.split(","), values.split(","))) for names, values in headers]
            # The upgraded request is stream 1: the only HEADERS are the answer.
            self.assertEqual(len(fields), 1)
            self.assertEqual(fields[0]["content-type"], TYPE)

    def test_mail_modes_carry_the_chosen_server_name_agent_and_type(self):
        for mode in "spi":
            for encoding in ("0", "1", "2"):
                with self.subTest(mode=mode, encoding=encoding), verify.WorkDir() as work:
                    pcap = self.run_mode(work, ["-m", mode, "-e", encoding])
                    client, server = verify.tcp_stream_bytes(pcap)
                    if mode == "s":
                        mail = MAIL["unstuff"](client[client.index(b"DATA\r\n") + 6:])
                        self.assertTrue(server.startswith(f"220 {HOST} ESMTP".encode()))
                        self.assertIn(f"\r\n221 2.0.0 {HOST} closing".encode(), server)
                    elif mode == "p":
                        count, mail = MAIL["pop3_mail"](server)
                        self.assertEqual(count, len(mail), "the RETR reply's octet count")
                        self.assertIn(f"({HOST}) ready.\r\n".encode(), server)
                    else:
                        mail = MAIL["imap_literal"](server)
                    message = email.message_from_bytes(mail, policy=email.policy.compat32)
                    self.assertEqual(message["User-Agent"], AGENT)
                    attachment = message.get_payload()[1]
                    self.assertEqual(attachment["Content-Type"].split(";")[0], TYPE.split(";")[0])
                    self.assertNotIn(b"application/octet-stream", mail)


if __name__ == "__main__":
    unittest.main()
