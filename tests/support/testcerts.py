"""Throw-away certificates for one test run, made with the openssl command line:
a CA, a server certificate it signed for localhost/127.0.0.1, one it signed for another
host name, and a self-signed one for localhost that nobody trusts.

    certs = TestCertificates()      # files in certs.dir, removed by certs.cleanup()
    certs.ca, certs.cert("good"), certs.key("good")   # also "wrong-host", "self-signed"
"""
import os
import shutil
import subprocess
import tempfile


class TestCertificates:
    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="tls-test-")
        self.ca = self._path("ca.pem")
        ca_key = self._path("ca.key")
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", ca_key,
                      "-out", self.ca, "-days", "2", "-subj", "/CN=Throw-away Test CA",
                      "-addext", "basicConstraints=critical,CA:TRUE",
                      "-addext", "keyUsage=critical,keyCertSign,cRLSign")
        self._leaf("good", "localhost", "DNS:localhost,IP:127.0.0.1", ca_key)
        self._leaf("wrong-host", "db.wrong.example", "DNS:db.wrong.example", ca_key)
        self._openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes",
                      "-keyout", self.key("self-signed"), "-out", self.cert("self-signed"),
                      "-days", "2", "-subj", "/CN=localhost",
                      "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1")

    def cert(self, name):
        return self._path(name + ".pem")

    def key(self, name):
        return self._path(name + ".key")

    def cleanup(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def _path(self, name):
        return os.path.join(self.dir, name)

    def _leaf(self, name, cn, san, ca_key):
        csr = self._path(name + ".csr")
        ext = self._path(name + ".ext")
        with open(ext, "w") as f:
            f.write("subjectAltName=%s\nbasicConstraints=CA:FALSE\n"
                    "extendedKeyUsage=serverAuth\n" % san)
        self._openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.key(name),
                      "-out", csr, "-subj", "/CN=" + cn)
        self._openssl("x509", "-req", "-in", csr, "-CA", self.ca, "-CAkey", ca_key,
                      "-CAcreateserial", "-out", self.cert(name), "-days", "2", "-extfile", ext)

    @staticmethod
    def _openssl(*args):
        subprocess.run(["openssl"] + list(args), check=True, capture_output=True)
