"""Starts tdssim for a test script on free loopback ports; control port and client log.

    from tdssim import TdsSim
    with TdsSim(exe, "demo", instances=1) as sim:
        sim.port(0), sim.control("fault 0 delay 500"), sim.log_entries()
"""
import json
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ADMIN = ("sa", "Sim-Admin-1")
VIEWER = ("viewer", "Sim-View-1")

PROCESS_QUERY = "\r\n".join([
    "select spid, blocked, d.name, waittime, lastwaittype, waitresource, open_tran, p.status, "
    "hostname, program_name, cmd, loginame, cpu, physical_io, memusage",
    "from master.dbo.sysprocesses p left outer join master..sysdatabases d on d.dbid = p.dbid",
    "order by blocked, waittime",
])


class TdsSimError(RuntimeError):
    pass


class TdsSim:
    def __init__(self, exe, scenario="demo", instances=1, timeout=10.0, extra_args=()):
        self.dir = tempfile.mkdtemp(prefix="tdssim-py-")
        self.log_path = os.path.join(self.dir, "clients.log")
        self._err = open(os.path.join(self.dir, "stderr.txt"), "w+")
        self.proc = subprocess.Popen(
            [exe, "--port", "0", "--scenario", scenario, "--instances", str(instances),
             "--control", "0", "--log", self.log_path] + list(extra_args),
            stdout=subprocess.PIPE, stderr=self._err)
        self.ports = []
        self.control_port = 0
        deadline = time.monotonic() + timeout
        buffer = b""
        fd = self.proc.stdout.fileno()
        while len(self.ports) < instances:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            chunk = os.read(fd, 4096) if ready else b""
            if not chunk:
                self.stop()
                self._err.seek(0)
                raise TdsSimError("tdssim did not start: " + self._err.read())
            buffer += chunk
            while b"\n" in buffer:
                raw, buffer = buffer.split(b"\n", 1)
                line = raw.decode()
                if line.startswith("control on "):
                    self.control_port = int(line.rsplit(":", 1)[1])
                elif line.startswith("listening on "):
                    self.ports.append(int(line.rsplit(":", 1)[1]))
        self._ctl = socket.create_connection(("127.0.0.1", self.control_port), timeout=10)
        self._ctl_file = self._ctl.makefile("rw", encoding="utf-8", newline="\n")

    def port(self, instance=0):
        return self.ports[instance]

    def control(self, command):
        """Sends one command; returns the first reply line, raises on ERR."""
        self._ctl_file.write(command + "\n")
        self._ctl_file.flush()
        reply = self._ctl_file.readline().rstrip("\n")
        if not reply.startswith("OK"):
            raise TdsSimError("control %r: %s" % (command, reply))
        return reply

    def control_list(self, command):
        n = int(self.control(command).split()[1])
        return [self._ctl_file.readline().rstrip("\n") for _ in range(n)]

    def sessions(self, instance=0):
        return [json.loads(line) for line in self.control_list("sessions %d" % instance)]

    def log_entries(self):
        entries = []
        try:
            with open(self.log_path, encoding="utf-8") as f:
                for line in f:
                    try:
                        entries.append(json.loads(line))
                    except ValueError:
                        pass  # a line still being written
        except FileNotFoundError:
            pass
        return entries

    def wait_for_log(self, pred, timeout=10.0):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.log_entries():
                if pred(e):
                    return e
            if time.monotonic() > deadline:
                raise TdsSimError("no matching log entry")
            time.sleep(0.02)

    def stop(self):
        if getattr(self, "_ctl", None):
            self._ctl.close()
            self._ctl = None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        return self.proc.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self._err.close()
        shutil.rmtree(self.dir, ignore_errors=True)
        return False
