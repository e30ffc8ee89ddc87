#!/usr/bin/env python3
# The exporter's endpoint under hostile clients; prints answers per tries for each case.
# Usage: hostile-clients.py EXPORTER [--tls] [--hold SECONDS]
# Cases: 60 connections that never send a byte (never start TLS), held and closed, then
# scrapes from the same address; a client of one address that keeps 40 trickling connections
# open while another address scrapes; requests followed by shutdown(SHUT_WR).
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import time


def connect(port, source):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind((source, 0))
    s.settimeout(20)
    s.connect(("127.0.0.1", port))
    return s


def scrape(port, source, tls, half_close=False):
    try:
        s = connect(port, source)
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            context.check_hostname = False
            context.verify_mode = ssl.CERT_NONE
            s = context.wrap_socket(s)
        s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n")
        if half_close:
            socket.socket.shutdown(s, socket.SHUT_WR)  # TCP only, TLS left open
        data = b""
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
        s.close()
        return data.startswith(b"HTTP/1.1 200") and b"tallyvane_build_info" in data
    except (OSError, ssl.SSLError):
        return False


def main():
    exporter = sys.argv[1]
    tls = "--tls" in sys.argv
    hold = float(sys.argv[sys.argv.index("--hold") + 1]) if "--hold" in sys.argv else 12
    print("goal: the endpoint survives idle, slow and half-closed clients: after 60 idle "
          "clients held 12 s, beside a client that keeps reconnecting from one address, and "
          "for requests followed by a half-close, every scrape is answered")
    folder = tempfile.mkdtemp()
    servers = os.path.join(folder, "servers.ini")
    open(servers, "w").close()
    args = [exporter, "--servers", servers, "--listen", "127.0.0.1:0"]
    if tls:
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        args += ["--tls-cert", cert, "--tls-key", key]
    process = subprocess.Popen(args, stderr=subprocess.PIPE, text=True)
    port = 0
    for line in process.stderr:
        m = re.search(r"Serving https?://[^:]+:(\d+)/metrics", line)
        if m:
            port = int(m.group(1))
            break
    try:
        idle = [connect(port, "127.0.0.1") for _ in range(60)]
        time.sleep(hold)
        for s in idle:
            s.close()
        n = 20
        ok = sum(scrape(port, "127.0.0.1", tls) for _ in range(n))
        print(f"60 idle clients held {hold:g} s, then scrapes answered: {ok}/{n}")

        slow = []
        ok = 0
        for _ in range(n):
            slow = [s for s in slow if s.fileno() >= 0]
            while len(slow) < 40:
                try:
                    s = connect(port, "127.0.0.2")
                    s.sendall(b"G")
                    slow.append(s)
                except OSError:
                    break
            ok += scrape(port, "127.0.0.3", tls)
        for s in slow:
            s.close()
        print(f"40 trickling connections from another address, scrapes answered: {ok}/{n}")

        ok = sum(scrape(port, "127.0.0.4", tls, half_close=True) for _ in range(n))
        print(f"half-closed requests answered: {ok}/{n}")
    finally:
        process.terminate()
        process.wait()


if __name__ == "__main__":
    main()
