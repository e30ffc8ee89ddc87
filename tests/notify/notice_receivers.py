"""Real receivers for notices on the loopback, for the notice tests.

    python3 notice_receivers.py --cert good.pem --key good.key

prints one line per receiver, "NAME PORT", then "ready":
  http      an HTTP server: POST /ok (204), /hang (never answers), /500, /redirect (302),
            /huge (a 1 GB answer, streamed); GET /received lists what every receiver got
  https     the same over TLS with the given certificate
  smtp      SMTP with STARTTLS required and a login (user "notify", password "Mail-Pass-1")
  smtp-plain SMTP that offers no STARTTLS
  smtps     SMTP over TLS from the first byte, same login
Every notice received is kept as {"via": NAME, "path": ..., "body": ...} (for mail the whole
message as text); GET /received answers them as a JSON list. Ends on SIGTERM or stdin EOF.
"""
import argparse
import json
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

RECEIVED = []
LOCK = threading.Lock()


def keep(via, path, body):
    with LOCK:
        RECEIVED.append({"via": via, "path": path, "body": body})


def handler(via):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass

        def do_GET(self):
            with LOCK:
                data = json.dumps(RECEIVED).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)

        def do_POST(self):
            length = int(self.headers.get("Content-Length", "0"))
            body = self.rfile.read(length).decode("utf-8", "replace")
            path = self.path.split("?", 1)[0]
            keep(via, path, body)
            if path == "/hang":
                time.sleep(30)
                return
            if path == "/500":
                self.send_response(500)
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif path == "/redirect":
                self.send_response(302)
                self.send_header("Location", "http://127.0.0.1:1/elsewhere")
                self.send_header("Content-Length", "0")
                self.end_headers()
            elif path == "/huge":
                self.send_response(200)
                self.send_header("Content-Length", str(1 << 30))
                self.end_headers()
                chunk = b"x" * 65536
                try:
                    for _ in range((1 << 30) // len(chunk)):
                        self.wfile.write(chunk)
                except OSError:
                    pass
            else:
                self.send_response(204)
                self.end_headers()
    return Handler


class MailHandler:
    def __init__(self, via):
        self.via = via

    async def handle_DATA(self, server, session, envelope):
        keep(self.via, " ".join(envelope.rcpt_tos),
             envelope.content.decode("utf-8", "replace"))
        return "250 OK"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == b"notify" \
        and auth_data.password == b"Mail-Pass-1"
    return AuthResult(success=ok, handled=False)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args()
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(args.cert, args.key)

    servers = []
    for via, tls in (("http", False), ("https", True)):
        server = ThreadingHTTPServer(("127.0.0.1", 0), handler(via))
        server.daemon_threads = True
        if tls:
            server.socket = context.wrap_socket(server.socket, server_side=True)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        servers.append((via, server.server_address[1]))

    controllers = [
        ("smtp", Controller(MailHandler("smtp"), hostname="127.0.0.1", port=free_port(),
                            tls_context=context, require_starttls=True,
                            authenticator=authenticator, auth_require_tls=True)),
        ("smtp-plain", Controller(MailHandler("smtp-plain"), hostname="127.0.0.1", port=free_port())),
        ("smtps", Controller(MailHandler("smtps"), hostname="127.0.0.1", port=free_port(),
                             ssl_context=context, authenticator=authenticator,
                             auth_require_tls=False)),
    ]
    for via, controller in controllers:
        controller.start()
        servers.append((via, controller.port))
    for via, port in servers:
        print(via, port, flush=True)
    print("ready", flush=True)
    sys.stdin.read()
    for _, controller in controllers:
        controller.stop()


if __name__ == "__main__":
    main()
