"""tdssim's encryption checked with clients nobody here wrote: FreeTDS tsql and the FreeTDS
ODBC driver through unixODBC isql (GnuTLS), and python3-tds (Python's ssl, OpenSSL), against
every --encryption mode; certificate checks with a throw-away CA; a capture of the bytes on
the wire; batches of several statements; the login time-out.

Run: python3 test_tls_clients.py --tdssim PATH/TO/tdssim
"""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tdssim import ADMIN, TdsSim  # noqa: E402
from testcerts import TestCertificates  # noqa: E402

TDSSIM = None
CERTS = None
MODES = ["off", "login", "on", "required"]


def run(args, stdin, env=None, timeout=30):
    return subprocess.run(args, input=stdin, capture_output=True, text=True, timeout=timeout,
                          env=env)


def needs(tool):
    return unittest.skipUnless(shutil.which(tool), tool + " is not installed")


class Sim:
    """One tdssim in a given encryption mode with a given certificate."""

    def __init__(self, mode, cert=None, extra=()):
        args = ["--encryption", mode] + list(extra)
        if cert:
            args += ["--cert", CERTS.cert(cert), "--key", CERTS.key(cert)]
        self.sim = TdsSim(TDSSIM, "demo", extra_args=args)

    def __enter__(self):
        return self.sim

    def __exit__(self, *exc):
        self.sim.__exit__(*exc)


def encryption_entries(sim):
    return [e for e in sim.log_entries() if e["event"] == "encryption"]


class FreeTdsConf:
    """A private freetds.conf: [global] for tsql, [target] for ODBC's Servername=."""

    def __init__(self, port, settings):
        self.dir = tempfile.mkdtemp(prefix="ftds-")
        self.path = os.path.join(self.dir, "freetds.conf")
        body = "".join("\t%s = %s\n" % kv for kv in settings.items())
        with open(self.path, "w") as f:
            f.write("[global]\n%s[target]\n\thost = 127.0.0.1\n\tport = %d\n"
                    "\ttds version = 7.4\n%s" % (body, port, body))

    def env(self):
        return dict(os.environ, FREETDSCONF=self.path)

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)


@needs("tsql")
class TsqlAndIsqlInEveryMode(unittest.TestCase):
    # FreeTDS "encryption" setting -> per server mode: (connects, negotiated mode in the log)
    EXPECTED = {
        "request": {"off": (True, "none"), "login": (True, "login"), "on": (True, "all"),
                    "required": (True, "all")},
        "require": {"off": (False, "none"), "login": (True, "all"), "on": (True, "all"),
                    "required": (True, "all")},
        # A server forcing encryption ("on" and "required") ends a client that cannot encrypt.
        "off": {"off": (True, "none"), "login": (True, "none"), "on": (False, "refused"),
                "required": (False, "refused")},
    }

    def test_tsql_and_odbc_in_every_mode(self):
        for setting, per_mode in self.EXPECTED.items():
            for mode, (connects, negotiated) in per_mode.items():
                for client in ("tsql", "isql"):
                    with self.subTest(client=client, setting=setting, mode=mode), Sim(mode) as sim:
                        conf = FreeTdsConf(sim.port(), {"encryption": setting})
                        try:
                            out = self.query(client, sim.port(), conf, "select 4711")
                        finally:
                            conf.cleanup()
                        self.assertEqual("4711" in out.stdout, connects, out.stdout + out.stderr)
                        modes = [e["mode"] for e in encryption_entries(sim)]
                        self.assertEqual(modes, [negotiated])
                        if negotiated in ("login", "all"):
                            self.assertEqual(encryption_entries(sim)[0]["tls"], "TLSv1.2")

    @staticmethod
    def query(client, port, conf, sql):
        if client == "tsql":
            return run(["tsql", "-H", "127.0.0.1", "-p", str(port), "-U", ADMIN[0],
                        "-P", ADMIN[1]], sql + "\ngo\n", env=conf.env())
        return run(["isql", "-v", "-b", "-k",
                    "Driver=FreeTDS;Servername=target;UID=%s;PWD=%s" % ADMIN], sql + "\n",
                   env=conf.env())


@needs("isql")
class FreeTdsChecksTheCertificate(unittest.TestCase):
    def test_ca_file_and_host_name(self):
        # certificate -> connects when FreeTDS is given the CA file
        cases = {"good": True, "wrong-host": False, "self-signed": False}
        for cert, connects in cases.items():
            with self.subTest(cert=cert), Sim("required", cert) as sim:
                conf = FreeTdsConf(sim.port(), {"encryption": "require", "ca file": CERTS.ca})
                try:
                    out = TsqlAndIsqlInEveryMode.query("isql", sim.port(), conf, "select 4711")
                finally:
                    conf.cleanup()
                self.assertEqual("4711" in out.stdout, connects, out.stdout + out.stderr)
                if not connects:
                    failed = [e for e in sim.log_entries() if e["event"] == "tls-failed"]
                    self.assertEqual(len(failed), 1)
                    self.assertEqual(failed[0]["during"], "handshake")


class PytdsInEveryMode(unittest.TestCase):
    def setUp(self):
        try:
            import pytds  # noqa: F401
        except ImportError:
            self.skipTest("python3-tds is not installed")

    # client -> per server mode: negotiated mode, or None when the connection fails
    EXPECTED = {
        "no cafile": {"off": "none", "login": "none", "on": None, "required": None},
        "cafile": {"off": None, "login": "all", "on": "all", "required": "all"},
        "cafile, login only": {"off": "none", "login": "login", "on": "all", "required": "all"},
    }

    def connect(self, port, client):
        import pytds
        kwargs = {}
        if client != "no cafile":
            kwargs["cafile"] = CERTS.ca
            kwargs["enc_login_only"] = client.endswith("login only")
        # pytds matches DNS names only, so it connects by name.
        return pytds.connect("localhost", port=port, user=ADMIN[0], password=ADMIN[1],
                             login_timeout=5, timeout=5, autocommit=True, **kwargs)

    def test_every_mode(self):
        for client, per_mode in self.EXPECTED.items():
            for mode, negotiated in per_mode.items():
                with self.subTest(client=client, mode=mode), Sim(mode, "good") as sim:
                    if negotiated is None:
                        with self.assertRaises(Exception):
                            self.connect(sim.port(), client).close()
                        continue
                    with self.connect(sim.port(), client) as conn:
                        cur = conn.cursor()
                        cur.execute("select 4711")
                        self.assertEqual(cur.fetchall(), [(4711,)])
                    self.assertEqual([e["mode"] for e in encryption_entries(sim)], [negotiated])

    def test_untrusted_certificate_is_refused_by_the_client(self):
        for cert in ("self-signed", "wrong-host"):
            with self.subTest(cert=cert), Sim("required", cert) as sim:
                with self.assertRaisesRegex(Exception, "certificate|hostname|match"):
                    self.connect(sim.port(), "cafile").close()


class Recorder:
    """A loopback proxy that keeps every byte going either way."""

    def __init__(self, target_port):
        self.target = target_port
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.bytes = bytearray()
        self.lock = threading.Lock()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    def _pump(self, src, dst):
        while True:
            try:
                data = src.recv(65536)
            except OSError:
                data = b""
            if not data:
                for s in (src, dst):
                    try:
                        s.shutdown(socket.SHUT_RDWR)
                    except OSError:
                        pass
                return
            with self.lock:
                self.bytes += data
            dst.sendall(data)

    def close(self):
        self.listener.close()


def scrambled(password):
    out = bytearray()
    for b in password.encode("utf-16-le"):
        out.append((((b << 4) | (b >> 4)) & 0xFF) ^ 0xA5)
    return bytes(out)


@needs("isql")
class NothingReadableOnTheWire(unittest.TestCase):
    SQL = "select 918273"

    def capture(self, mode, setting):
        with Sim(mode) as sim:
            proxy = Recorder(sim.port())
            conf = FreeTdsConf(proxy.port, {"encryption": setting})
            try:
                out = TsqlAndIsqlInEveryMode.query("isql", proxy.port, conf, self.SQL)
                self.assertIn("918273", out.stdout, out.stdout + out.stderr)
            finally:
                conf.cleanup()
                proxy.close()
            with proxy.lock:
                return bytes(proxy.bytes)

    def test_required_mode_hides_statement_password_and_replies(self):
        secrets = [self.SQL.encode("utf-16-le"), scrambled(ADMIN[1]),
                   ADMIN[1].encode("utf-16-le"), ADMIN[1].encode(),
                   "Microsoft SQL Server".encode("utf-16-le"), "sa".encode("utf-16-le") + b"\0"]
        clear = self.capture("off", "request")
        for s in secrets[:2]:
            self.assertIn(s, clear)  # the recorder does see the clear text when there is one
        wire = self.capture("required", "require")
        self.assertGreater(len(wire), 2000)
        for s in secrets:
            self.assertNotIn(s, wire)

    def test_login_mode_hides_the_password_only(self):
        wire = self.capture("login", "request")
        self.assertNotIn(scrambled(ADMIN[1]), wire)
        self.assertIn(self.SQL.encode("utf-16-le"), wire)


@needs("tsql")
class Batches(unittest.TestCase):
    def test_statements_run_in_turn_and_a_runtime_error_does_not_stop_the_rest(self):
        batch = ("SELECT @@MAX_PRECISION\r\nSET TRANSACTION ISOLATION LEVEL READ COMMITTED\r\n"
                 "SET IMPLICIT_TRANSACTIONS OFF\r\nselect 5; kill 999; select 7")
        for mode in ("off", "required"):
            with self.subTest(mode=mode), Sim(mode) as sim:
                conf = FreeTdsConf(sim.port(), {"encryption": "request"})
                try:
                    out = TsqlAndIsqlInEveryMode.query("tsql", sim.port(), conf, batch)
                finally:
                    conf.cleanup()
                results = [l.strip() for l in out.stdout.splitlines()]
                self.assertEqual([r for r in results if r in ("38", "5", "7")], ["38", "5", "7"],
                                 out.stdout)
                self.assertIn("Process ID 999 is not an active process ID.", out.stderr)
                self.assertNotIn("Incorrect syntax", out.stdout + out.stderr)


class LoginTimeOut(unittest.TestCase):
    def test_silent_client_is_dropped_and_logged_in_one_is_not(self):
        with Sim("required", extra=["--login-timeout", "0.5"]) as sim:
            conf = FreeTdsConf(sim.port(), {"encryption": "require"})
            silent = socket.create_connection(("127.0.0.1", sim.port()))
            silent.settimeout(10)
            try:
                started = time.monotonic()
                self.assertEqual(silent.recv(100), b"")  # closed by the server
                self.assertGreaterEqual(time.monotonic() - started, 0.4)
                entry = sim.wait_for_log(lambda e: e["event"] == "login-timeout")
                self.assertEqual(entry["seconds"], "0.5")
                # A client that logs in and then idles past the time-out stays connected.
                if shutil.which("tsql"):
                    proc = subprocess.Popen(
                        ["tsql", "-H", "127.0.0.1", "-p", str(sim.port()), "-U", ADMIN[0],
                         "-P", ADMIN[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                        stderr=subprocess.PIPE, text=True, env=conf.env())
                    time.sleep(1.5)
                    out, _ = proc.communicate("select 4711\ngo\n", timeout=20)
                    self.assertIn("4711", out)
                    self.assertEqual(
                        len([e for e in sim.log_entries() if e["event"] == "login-timeout"]), 1)
            finally:
                silent.close()
                conf.cleanup()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--tdssim", required=True)
    args, rest = parser.parse_known_args()
    TDSSIM = args.tdssim
    CERTS = TestCertificates()
    try:
        unittest.main(argv=[sys.argv[0]] + rest, verbosity=2, exit=False)
    finally:
        CERTS.cleanup()
