#!/usr/bin/env python3
"""SMTP intake of a real zidire process, driven by Python's smtplib over loopback.

Usage: smtp_end_to_end.py PATH_TO_ZIDIRE [unittest arguments]

Each zidire runs in local mode in a temporary directory, listens on 127.0.0.1 only (the settings
file is written before it starts) and gets its device login over the control socket.
"""

import base64
import glob
import json
import os
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest
import warnings

ZIDIRE = None
USER = "copier"
PASSWORD = "pa55 w0rd!"


def wait_for(condition, timeout=20.0, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.02)


def free_ports(count):
    sockets = []
    for _ in range(count):
        s = socket.socket()
        s.bind(("127.0.0.1", 0))
        sockets.append(s)
    ports = [s.getsockname()[1] for s in sockets]
    for s in sockets:
        s.close()
    return ports


def no_verification(minimum=None, maximum=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if minimum:
        # Old copiers' protocols: OpenSSL offers them only at security level 0.
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            context.minimum_version = minimum
            context.maximum_version = maximum
    return context


class Zidire:
    """One zidire process and its state directory, restartable on the same ports."""

    def __init__(self, settings=None):
        self.root = tempfile.TemporaryDirectory(prefix="zidire-smtp-")
        self.state = os.path.join(self.root.name, "state")
        self.runtime = os.path.join(self.root.name, "run")
        os.makedirs(self.state, mode=0o700)
        os.makedirs(self.runtime, mode=0o700)
        self.socket_path = os.path.join(self.runtime, "control.sock")
        self.plain, self.starttls, self.implicit = free_ports(3)
        with open(os.path.join(self.state, "settings.json"), "w") as f:
            json.dump({"listen_host": "127.0.0.1", **(settings or {})}, f)
        self.process = None

    def start(self, configure=True):
        env = dict(os.environ, XDG_RUNTIME_DIR=self.runtime,
                   XDG_STATE_HOME=os.path.join(self.root.name, "xdg-state"))
        for attempt in range(3):
            self.stderr = open(os.path.join(self.root.name, "stderr.txt"), "ab")
            self.process = subprocess.Popen(
                [ZIDIRE, "--user", "--socket", self.socket_path, "--state-dir", self.state,
                 "--smtp-ports", f"{self.plain},{self.starttls},{self.implicit}"],
                env=env, stdout=subprocess.DEVNULL, stderr=self.stderr)
            status = wait_for(self._status, what="zidire to answer")
            if not any(listener.get("error") for listener in status["listeners"]):
                break
            # Another test took one of the ports since they were picked: pick again.
            self.process.terminate()
            self.process.wait(timeout=20)
            self.stderr.close()
            self.plain, self.starttls, self.implicit = free_ports(3)
        else:
            raise AssertionError(f"zidire could not listen: {status['listeners']}")
        if configure:
            reply = self.control({"command": "SetConfig",
                                  "device_user": {"username": USER, "password": PASSWORD}})
            assert reply.get("ok"), reply
        return status

    def _status(self):
        if self.process.poll() is not None:
            raise AssertionError(f"zidire exited with {self.process.returncode}")
        try:
            return self.control({"command": "GetStatus"})["status"]
        except OSError:
            return None

    def control(self, request):
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(10)
            s.connect(self.socket_path)
            s.sendall(json.dumps(request).encode())
            data = b""
            while chunk := s.recv(65536):
                data += chunk
        return json.loads(data)

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait()
        self.stderr.close()

    def stop(self):
        """Stops zidire with SIGTERM; it must exit cleanly (no sanitizer report either)."""
        code, output = 0, ""
        if self.process:
            if self.process.poll() is None:
                self.process.terminate()
                code = self.process.wait(timeout=20)
            self.stderr.close()
            with open(os.path.join(self.root.name, "stderr.txt"), errors="replace") as f:
                output = f.read()
        self.root.cleanup()
        if code != 0:
            raise AssertionError(f"zidire exited with {code} on SIGTERM:\n{output[-4000:]}")

    def spool_files(self, pattern="*"):
        return sorted(glob.glob(os.path.join(self.state, "spool", pattern)))

    def messages(self):
        """The spooled messages as (envelope, content) pairs."""
        result = []
        for path in self.spool_files("msg-*.eml"):
            with open(path, "rb") as f:
                envelope, _, content = f.read().partition(b"\n")
            result.append((json.loads(envelope), content))
        return result

    def log(self):
        with open(os.path.join(self.state, "zidire.log"), encoding="utf-8") as f:
            return f.read()


class RawSmtp:
    """A line-level client for what smtplib will not send."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=20)
        self.buffer = b""
        self.greeting = self.reply()

    def send(self, data):
        self.sock.sendall(data)

    def reply(self):
        """The next complete reply's final line, or b"" once the server closed."""
        while True:
            lines = self.buffer.split(b"\r\n")
            for index, line in enumerate(lines[:-1]):
                if len(line) >= 4 and line[3:4] == b" ":
                    self.buffer = b"\r\n".join(lines[index + 1:])
                    return line
            chunk = self.sock.recv(65536)
            if not chunk:
                return b""
            self.buffer += chunk

    def command(self, line):
        self.send(line + b"\r\n")
        return self.reply()

    def sign_in(self):
        assert self.command(b"EHLO raw").startswith(b"250")
        credentials = base64.b64encode(f"\0{USER}\0{PASSWORD}".encode())
        assert self.command(b"AUTH PLAIN " + credentials).startswith(b"235")

    def close(self):
        self.sock.close()


def plain_credentials(user=USER, password=PASSWORD):
    return base64.b64encode(f"\0{user}\0{password}".encode()).decode()


class SharedZidire(unittest.TestCase):
    """Protocol rules, against one zidire."""

    @classmethod
    def setUpClass(cls):
        cls.zidire = Zidire()
        cls.zidire.start()

    @classmethod
    def tearDownClass(cls):
        cls.zidire.stop()

    def smtp(self):
        client = smtplib.SMTP("127.0.0.1", self.zidire.plain, timeout=20)
        self.addCleanup(client.close)
        return client

    def received(self, subject):
        return [m for m in self.zidire.messages() if f"Subject: {subject}".encode() in m[1]]

    def test_plain_port_takes_auth_without_tls(self):
        client = self.smtp()
        client.ehlo("copier")
        self.assertIn("auth", client.esmtp_features)
        self.assertNotIn("starttls", client.esmtp_features)
        for extension in ("pipelining", "8bitmime", "size"):
            self.assertIn(extension, client.esmtp_features)
        self.assertIn(b"AUTH=PLAIN LOGIN", client.ehlo_resp)
        client.login(USER, PASSWORD)
        client.sendmail("scan@copier.test", ["me@example.test"],
                        "Subject: plain\r\n\r\n.leading dot\r\nbody\r\n")
        [(envelope, content)] = self.received("plain")
        self.assertEqual(envelope["mailFrom"], "scan@copier.test")
        self.assertEqual(envelope["recipients"], ["me@example.test"])
        self.assertTrue(envelope["clientAddress"].startswith("127.0.0.1:"))
        self.assertEqual(content, b"Subject: plain\r\n\r\n.leading dot\r\nbody\r\n")
        log = self.zidire.log()
        self.assertIn("accepted message", log)
        self.assertNotIn(PASSWORD, log)

    def test_starttls_port_wants_tls_before_auth(self):
        client = smtplib.SMTP("127.0.0.1", self.zidire.starttls, timeout=20)
        self.addCleanup(client.close)
        client.ehlo("copier")
        self.assertIn("starttls", client.esmtp_features)
        self.assertNotIn("auth", client.esmtp_features)
        code, text = client.docmd("AUTH", "PLAIN " + plain_credentials())
        self.assertEqual((code, text[:6]), (538, b"5.7.11"))
        self.assertEqual(client.docmd("MAIL", "FROM:<a@b.test>")[0], 530)
        client.starttls(context=no_verification())
        self.assertGreaterEqual(client.sock.version(), "TLSv1.2")
        client.ehlo("copier")
        self.assertNotIn("starttls", client.esmtp_features)
        client.login(USER, PASSWORD)
        client.sendmail("a@b.test", ["c@d.test"], "Subject: starttls\r\n\r\nx\r\n")
        self.assertEqual(len(self.received("starttls")), 1)

    def test_implicit_tls_port(self):
        client = smtplib.SMTP_SSL("127.0.0.1", self.zidire.implicit, timeout=20,
                                  context=no_verification())
        self.addCleanup(client.close)
        self.assertIn(client.sock.version(), ("TLSv1.2", "TLSv1.3"))
        client.login(USER, PASSWORD)
        client.sendmail("a@b.test", ["c@d.test"], "Subject: implicit\r\n\r\nx\r\n")
        self.assertEqual(len(self.received("implicit")), 1)

    def test_tls_1_1_refused_by_default(self):
        context = no_verification(ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1)
        with self.assertRaises((ssl.SSLError, ConnectionError, smtplib.SMTPServerDisconnected)):
            smtplib.SMTP_SSL("127.0.0.1", self.zidire.implicit, timeout=20, context=context)

    def test_auth_rules(self):
        client = self.smtp()
        client.ehlo("copier")
        self.assertEqual(client.docmd("MAIL", "FROM:<a@b.test>")[0], 530)
        started = time.monotonic()
        with self.assertRaises(smtplib.SMTPAuthenticationError) as failure:
            client.login(USER, "wrong")
        self.assertEqual(failure.exception.smtp_code, 535)
        self.assertTrue(failure.exception.smtp_error.startswith(b"5.7.8"))
        self.assertGreaterEqual(time.monotonic() - started, 0.9, "failures are answered slowly")
        # AUTH LOGIN with the user name on the command line.
        user = base64.b64encode(USER.encode()).decode()
        self.assertEqual(client.docmd("AUTH", "LOGIN " + user)[0], 334)
        self.assertEqual(client.docmd(base64.b64encode(PASSWORD.encode()).decode())[0], 235)
        self.assertEqual(client.docmd("MAIL", "FROM:<a@b.test>")[0], 250)

    def test_five_failures_close_the_connection(self):
        raw = RawSmtp(self.zidire.plain)
        self.addCleanup(raw.close)
        raw.command(b"EHLO guesser")
        for attempt in range(5):
            wrong = plain_credentials(password=f"guess{attempt}").encode()
            self.assertTrue(raw.command(b"AUTH PLAIN " + wrong).startswith(b"535 5.7.8"))
        self.assertTrue(raw.reply().startswith(b"421"))
        self.assertEqual(raw.reply(), b"")
        self.assertIn("refused SMTP session from 127.0.0.1:", self.zidire.log())

    def test_line_limits(self):
        raw = RawSmtp(self.zidire.plain)
        self.addCleanup(raw.close)
        raw.sign_in()
        self.assertTrue(raw.command(b"NOOP " + b"x" * 507).startswith(b"500 5.5.2"))
        self.assertTrue(raw.command(b"NOOP " + b"x" * 505).startswith(b"250"))
        for line in (b"MAIL FROM:<a@b.test>", b"RCPT TO:<c@d.test>", b"DATA"):
            raw.command(line)
        raw.send(b"Subject: long line\r\n" + b"y" * 999 + b"\r\n.\r\n")
        self.assertTrue(raw.reply().startswith(b"500 5.5.2"))
        self.assertEqual(self.received("long line"), [])

    def test_size(self):
        client = self.smtp()
        client.ehlo("copier")
        limit = int(client.esmtp_features["size"])
        client.login(USER, PASSWORD)
        self.assertEqual(client.docmd("MAIL", f"FROM:<a@b.test> SIZE={limit + 1}")[0], 552)
        self.assertEqual(client.docmd("MAIL", f"FROM:<a@b.test> SIZE={limit}")[0], 250)
        client.rcpt("c@d.test")
        self.assertEqual(client.docmd("DATA")[0], 354)
        line = b"z" * 998 + b"\r\n"
        client.send(b"Subject: too big\r\n\r\n" + line * (limit // len(line) + 1) + b".\r\n")
        code, text = client.getreply()
        self.assertEqual((code, text[:5]), (552, b"5.3.4"))
        self.assertEqual(self.received("too big"), [])

    def test_bare_lf_does_not_end_the_message(self):
        raw = RawSmtp(self.zidire.plain)
        self.addCleanup(raw.close)
        raw.sign_in()
        for line in (b"MAIL FROM:<a@b.test>", b"RCPT TO:<c@d.test>", b"DATA"):
            raw.command(line)
        # What a server that ends DATA at "LF . CRLF" would take as a second, smuggled message.
        raw.send(b"Subject: smuggle\r\n\r\nHi\n.\r\nMAIL FROM:<evil@x.test>\r\n"
                 b"RCPT TO:<victim@d.test>\r\nDATA\r\nSubject: smuggled\r\n\r\n.\r\n")
        reply = raw.reply()
        self.assertTrue(reply.startswith(b"550 5.6.0"), reply)
        self.assertTrue(raw.command(b"NOOP").startswith(b"250"))
        self.assertEqual(self.received("smuggle"), [])
        self.assertEqual(self.received("smuggled"), [])

    def test_commands_behind_starttls_are_refused(self):
        raw = RawSmtp(self.zidire.starttls)
        self.addCleanup(raw.close)
        raw.command(b"EHLO injector")
        raw.send(b"STARTTLS\r\nAUTH PLAIN " + plain_credentials().encode() + b"\r\n")
        self.assertTrue(raw.reply().startswith(b"554"))
        self.assertEqual(raw.reply(), b"")

    def test_hundred_recipients(self):
        client = self.smtp()
        client.login(USER, PASSWORD)
        recipients = [f"user{i}@example.test" for i in range(100)]
        refused = client.sendmail("a@b.test", recipients, "Subject: hundred\r\n\r\nx\r\n")
        self.assertEqual(refused, {})
        [(envelope, _)] = self.received("hundred")
        self.assertEqual(envelope["recipients"], recipients)


class LegacyTls(unittest.TestCase):
    """The setting for old copiers admits TLS 1.0 on the TLS listeners."""

    def test_tls_1_0_when_allowed(self):
        zidire = Zidire(settings={"allow_legacy_tls": True})
        self.addCleanup(zidire.stop)
        zidire.start()
        context = no_verification(ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1)
        client = smtplib.SMTP_SSL("127.0.0.1", zidire.implicit, timeout=20, context=context)
        self.addCleanup(client.close)
        self.assertEqual(client.sock.version(), "TLSv1")
        client.login(USER, PASSWORD)
        upgraded = smtplib.SMTP("127.0.0.1", zidire.starttls, timeout=20)
        self.addCleanup(upgraded.close)
        upgraded.starttls(context=context)
        self.assertEqual(upgraded.sock.version(), "TLSv1")


class Durability(unittest.TestCase):
    """What survives kill -9."""

    def setUp(self):
        self.zidire = Zidire()
        self.addCleanup(self.zidire.stop)
        self.zidire.start()

    def test_acknowledged_message_survives_kill(self):
        client = smtplib.SMTP("127.0.0.1", self.zidire.plain, timeout=20)
        client.login(USER, PASSWORD)
        client.sendmail("a@b.test", ["c@d.test"], "Subject: kept\r\n\r\nx\r\n")
        self.zidire.kill()
        client.close()
        status = self.zidire.start(configure=False)
        self.assertEqual(status["spool_depth"], 1)
        [(_, content)] = self.zidire.messages()
        self.assertEqual(content, b"Subject: kept\r\n\r\nx\r\n")

    def test_message_killed_mid_data_leaves_nothing(self):
        raw = RawSmtp(self.zidire.plain)
        raw.sign_in()
        for line in (b"MAIL FROM:<a@b.test>", b"RCPT TO:<c@d.test>", b"DATA"):
            raw.command(line)
        raw.send(b"Subject: cut off\r\n\r\n" + b"x" * 998 + b"\r\n")
        wait_for(lambda: self.zidire.spool_files("tmp-*"), what="the message file to be opened")
        self.zidire.kill()
        raw.close()
        status = self.zidire.start(configure=False)
        self.assertEqual(status["spool_depth"], 0)
        self.assertEqual(self.zidire.spool_files(), [])


if __name__ == "__main__":
    ZIDIRE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
