#!/usr/bin/env python3
"""SMTP intake of a real zidire process, driven by Python's smtplib over loopback: what only a
real TLS stack on the other side shows (TLS on each port, legacy TLS). The protocol rules are
tested on the SMTP session alone, what survives a kill with the spool and the delivering daemon.

Usage: smtp_end_to_end.py PATH_TO_ZIDIRE [unittest arguments]

Each zidire runs in local mode in a temporary directory, listens on 127.0.0.1 only (the settings
file is written before it starts) and gets its device login over the control socket.
"""

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
    """One zidire process and its state directory."""

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

    def start(self):
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
        reply = self.control({"command": "SetConfig",
                              "device_user": {"username": USER, "password": PASSWORD}})
        assert reply.get("ok"), reply

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


class TlsPerPort(unittest.TestCase):
    """What each listener asks of TLS."""

    @classmethod
    def setUpClass(cls):
        cls.zidire = Zidire()
        cls.zidire.start()

    @classmethod
    def tearDownClass(cls):
        cls.zidire.stop()

    def test_starttls_port_offers_auth_after_tls(self):
        client = smtplib.SMTP("127.0.0.1", self.zidire.starttls, timeout=20)
        self.addCleanup(client.close)
        client.starttls(context=no_verification())
        self.assertGreaterEqual(client.sock.version(), "TLSv1.2")
        client.login(USER, PASSWORD)
        client.sendmail("a@b.test", ["c@d.test"], "Subject: starttls\r\n\r\nx\r\n")

    def test_implicit_tls_port(self):
        client = smtplib.SMTP_SSL("127.0.0.1", self.zidire.implicit, timeout=20,
                                  context=no_verification())
        self.addCleanup(client.close)
        self.assertIn(client.sock.version(), ("TLSv1.2", "TLSv1.3"))
        client.login(USER, PASSWORD)
        client.sendmail("a@b.test", ["c@d.test"], "Subject: implicit\r\n\r\nx\r\n")

    def test_tls_1_1_refused_by_default(self):
        context = no_verification(ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1)
        with self.assertRaises((ssl.SSLError, ConnectionError, smtplib.SMTPServerDisconnected)):
            smtplib.SMTP_SSL("127.0.0.1", self.zidire.implicit, timeout=20, context=context)


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
    """"250" is said only once the message is on disk: it survives kill -9."""

    def test_acknowledged_message_survives_kill(self):
        zidire = Zidire()
        self.addCleanup(zidire.stop)
        zidire.start()
        client = smtplib.SMTP("127.0.0.1", zidire.plain, timeout=20)
        client.login(USER, PASSWORD)
        client.sendmail("a@b.test", ["c@d.test"], "Subject: kept\r\n\r\nx\r\n")
        zidire.kill()
        client.close()
        zidire.start()
        self.assertEqual(zidire.control({"command": "GetStatus"})["status"]["spool_depth"], 1)
        [kept] = glob.glob(os.path.join(zidire.state, "spool", "msg-*.eml"))
        with open(kept, "rb") as f:
            _envelope, _, content = f.read().partition(b"\n")
        self.assertEqual(content, b"Subject: kept\r\n\r\nx\r\n")


if __name__ == "__main__":
    ZIDIRE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
