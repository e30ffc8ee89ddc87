#!/usr/bin/env python3
"""The Windows programs of the zip under Wine, against tdssim on the Linux side.

    test_windows.py --zip dist/tallyvane-X-win64.zip --tdssim build/sim/tdssim --work DIR

Wine's odbc32 hands the wide ODBC calls to the host's unixODBC and its FreeTDS driver, so the
Windows programs watch a local tdssim with Driver={FreeTDS} in their connection strings.
Each check prints one line; the exit status is the number of failed checks.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import time
import urllib.request
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from tdssim import ADMIN, TdsSim  # noqa: E402

QUIET = ("[server]\nname = QUIET\n" + "".join(
    "[session]\nspid = %d\nlogin = app\n" % spid for spid in range(51, 57)))

failures = []


def check(name, ok, detail=""):
    print("%s  %s%s" % ("ok  " if ok else "FAIL", name, "" if ok else ": " + detail), flush=True)
    if not ok:
        failures.append(name)


def win_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def section(name, connection, enabled=True):
    return "[%s]\r\nEnabled=%d\r\nConnectionString=%s\r\nTimeout=5\r\n\r\n" % (
        name, 1 if enabled else 0, connection)


def freetds(port, user=ADMIN[0], password=ADMIN[1]):
    return ("Provider=SQLOLEDB.1;Driver={FreeTDS};Data Source=127.0.0.1,%d;User ID=%s;"
            "Password=%s;Persist Security Info=True" % (port, user, password))


def series(page, name):
    for line in page.splitlines():
        if line.startswith(name + " "):
            return line[len(name) + 1:]
    return None


class Wine:
    """A fresh prefix of our own; its wineserver goes with it."""

    def __init__(self, work, odbc_dir):
        self.prefix = os.path.join(work, "prefix")
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            # No Mono or Gecko installers in a test prefix.
            "WINEDLLOVERRIDES": "mscoree=;mshtml=",
            # Read by the host's driver manager and FreeTDS inside Wine's odbc32: set before
            # wine starts, since the Windows program's own environment does not reach them.
            "ODBCINI": os.path.join(odbc_dir, "odbc.ini"),
            "FREETDSCONF": os.path.join(odbc_dir, "freetds.conf"),
        })
        self.env.pop("DISPLAY", None)
        self.wine = shutil.which("wine") or shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver"

    def boot(self):
        started = time.monotonic()
        subprocess.run([self.wine, "wineboot", "--init"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        self.server_wait()
        return time.monotonic() - started

    def server_wait(self):
        subprocess.run([self.wineserver, "-w"], env=self.env, timeout=300)

    def run(self, args, timeout, env_extra=None):
        env = dict(self.env)
        env.update(env_extra or {})
        return subprocess.run([self.wine] + args, env=env, capture_output=True, timeout=timeout)

    def popen(self, args, env_extra=None, **kw):
        env = dict(self.env)
        env.update(env_extra or {})
        return subprocess.Popen([self.wine] + args, env=env, **kw)

    def kill(self):
        subprocess.run([self.wineserver, "-k"], env=self.env, timeout=60)


def test_exporter(wine, app, sim, work):
    sim.control("block 0 52 51 LCK_M_X")
    sim.control("block 0 53 51 LCK_M_X")
    sim.control("fault 2 refuse")
    servers = os.path.join(work, "servers.ini")
    settings = os.path.join(work, "tallyvane.ini")
    with open(servers, "w", encoding="utf-8", newline="") as f:
        f.write(section("SQL-A", freetds(sim.port(0))) +
                section("SQL-B", freetds(sim.port(1))) +
                section("BadPassword", freetds(sim.port(1), "sa", "wrong")) +
                section("Refused", freetds(sim.port(2))) +
                # No driver named: Windows' own "SQL Server", which Wine's host does not have.
                section("NoDriver", "Provider=SQLOLEDB.1;Data Source=127.0.0.1,%d;"
                        "User ID=sa;Password=x" % sim.port(0)) +
                section("Off", freetds(sim.port(0)), enabled=False))
    with open(settings, "w", encoding="utf-8", newline="") as f:
        f.write("[Settings]\r\nAutoRefreshInterval=7\r\nWarningTimeout=2500\r\n")
    started = time.monotonic()
    run = wine.run([os.path.join(app, "tallyvane-exporter.exe"), "--servers", win_path(servers),
                    "--settings", win_path(settings), "--once"], timeout=180)
    took = time.monotonic() - started
    page = run.stdout.decode("utf-8", "replace")
    # Some of the watched servers are down on purpose: --once says so with status 3.
    check("exporter --once exits 3, some servers down (%.1f s)" % took, run.returncode == 3,
          "status %d: %s" % (run.returncode, run.stderr.decode("utf-8", "replace")[-2000:]))
    expected = {
        'tallyvane_up{server="SQL-A"}': "1",
        'tallyvane_up{server="SQL-B"}': "1",
        'tallyvane_up{server="BadPassword"}': "0",
        'tallyvane_up{server="Refused"}': "0",
        'tallyvane_up{server="NoDriver"}': "0",
        'tallyvane_down_reason{server="BadPassword",reason="login_failed"}': "1",
        'tallyvane_down_reason{server="Refused",reason="connect_failed"}': "1",
        'tallyvane_sessions{server="SQL-A"}': "7",
        'tallyvane_sessions{server="SQL-B"}': "7",
        'tallyvane_blocked_sessions{server="SQL-A"}': "2",
        'tallyvane_blocked_sessions{server="SQL-B"}': "0",
        'tallyvane_head_blockers{server="SQL-A"}': "1",
        'tallyvane_head_blockers{server="SQL-B"}': "0",
    }
    wrong = ["%s is %s, not %s" % (k, series(page, k), v)
             for k, v in expected.items() if series(page, k) != v]
    check("exporter metrics as on Linux", not wrong, "; ".join(wrong) + "\n" + page[-3000:])
    check("a disabled server is not served", 'server="Off"' not in page, page[-1000:])
    wait = series(page, 'tallyvane_longest_block_wait_seconds{server="SQL-A"}')
    check("the longest wait is a number", wait is not None and float(wait) >= 0, str(wait))
    # The program as the server saw it: its name, through FreeTDS over the wide calls.
    apps = {e.get("app") for e in sim.log_entries()
            if e.get("event") == "login" and e.get("port") == sim.port(0)}
    check("the server saw the program's name", "Tallyvane" in apps, str(apps))
    sim.control("clear *")


def test_exporter_serves_and_stops(wine, app, work):
    """Serving mode: /metrics over HTTP, then Ctrl+C (SIGINT reaches the console handler as
    CTRL_C_EVENT) stops it cleanly."""
    servers = os.path.join(work, "servers.ini")
    settings = os.path.join(work, "tallyvane.ini")
    proc = wine.popen([os.path.join(app, "tallyvane-exporter.exe"), "--servers",
                       win_path(servers), "--settings", win_path(settings), "--listen",
                       "127.0.0.1:0"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                      text=True)
    try:
        port = None
        deadline = time.monotonic() + 120
        while port is None and time.monotonic() < deadline:
            line = proc.stderr.readline()
            if not line:
                break
            if line.startswith("Serving http://127.0.0.1:"):
                port = int(line.rsplit(":", 1)[1].split("/")[0])
        check("exporter serves (port %s)" % port, port is not None, "exit %s" % proc.poll())
        if port is not None:
            page = ""
            deadline = time.monotonic() + 30
            while 'tallyvane_up{server="SQL-A"} 1' not in page and time.monotonic() < deadline:
                try:
                    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port,
                                                timeout=10) as r:
                        page = r.read().decode("utf-8", "replace")
                except OSError:
                    pass
                time.sleep(0.5)
            check("/metrics shows SQL-A up", 'tallyvane_up{server="SQL-A"} 1' in page,
                  page[-1000:])
        proc.send_signal(signal.SIGINT)
        rest = proc.communicate(timeout=60)[1]
        check("Ctrl+C stops the exporter cleanly", proc.returncode == 0 and
              "Stopping (signal 2)" in rest, "status %s: %s" % (proc.returncode, rest[-1000:]))
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def window_ids(display, name):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", name],
                           env=dict(os.environ, DISPLAY=display), capture_output=True, text=True)
    return found.stdout.split()


def test_desktop(wine, app, sim, work, display, artifacts):
    sim.control("block 0 52 51 LCK_M_X")
    with open(os.path.join(app, "servers.ini"), "w", encoding="utf-8", newline="") as f:
        f.write(section("PROD-SQL01", freetds(sim.port(0))) +
                section("REPORT-SQL02", freetds(sim.port(1))))
    # An existing settings file: a first start would open the settings dialog instead. The
    # warning sound goes through PlaySound.
    with open(os.path.join(app, "tallyvane.ini"), "w", encoding="utf-8", newline="") as f:
        f.write("[Settings]\r\nAutoRefresh=1\r\nAutoRefreshInterval=2\r\nShowInSystemTray=1\r\n"
                "WarningTimeout=1000\r\nPlaySoundOnWarning=1\r\nWarningSoundPath=chord.wav\r\n"
                "ShowBaloonOnWarning=1\r\nWarnOnlyOnce=1\r\n")
    since = max((e.get("time", "") for e in sim.log_entries()), default="")
    log = open(os.path.join(work, "tallyvane-wine.log"), "wb")
    started = time.monotonic()
    proc = wine.popen([os.path.join(app, "tallyvane.exe")], {"DISPLAY": display},
                      stdout=log, stderr=subprocess.STDOUT)
    shown = []
    deadline = started + 180
    while time.monotonic() < deadline and proc.poll() is None and not shown:
        shown = window_ids(display, "Tallyvane ver")
        time.sleep(0.5)
    check("the main window shows (%.1f s)" % (time.monotonic() - started), bool(shown),
          "exit %s" % proc.poll())
    # It watches both servers: each gets the process query from a connection named Tallyvane.
    watched = False
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not watched:
        watched = any(e.get("event") == "batch" and "sysprocesses" in e.get("text", "") and
                      e.get("port") == sim.port(0) and e.get("time", "") >= since
                      for e in sim.log_entries())
        time.sleep(0.5)
    check("the program polls the server through FreeTDS", watched,
          str(sim.log_entries()[-5:]))
    time.sleep(3)  # a refresh or two, so that the screenshot shows the tree
    # The blocking history beside the settings: the SQLite plugin of the zip loads.
    history = os.path.join(app, "tallyvane-history.sqlite")
    check("the blocking history file is made beside the program", os.path.isfile(history),
          str(sorted(os.listdir(app))))
    os.makedirs(artifacts, exist_ok=True)
    shot = os.path.join(artifacts, "tallyvane-wine.png")
    taken = subprocess.run(["import", "-display", display, "-window", "root", shot],
                           capture_output=True)
    check("screenshot kept in %s" % shot, taken.returncode == 0 and os.path.getsize(shot) > 0,
          taken.stderr.decode(errors="replace"))
    if proc.poll() is None:
        proc.terminate()
    wine.kill()
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
    log.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--zip", required=True)
    parser.add_argument("--tdssim", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--display", default=os.environ.get("DISPLAY", ""))
    parser.add_argument("--artifacts", required=True)
    parser.add_argument("--files-check", help="windows-files-check.exe to run first")
    args = parser.parse_args()

    work = os.path.abspath(args.work)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    odbc = os.path.join(work, "odbc")
    os.makedirs(odbc)
    open(os.path.join(odbc, "odbc.ini"), "w").close()
    with open(os.path.join(odbc, "freetds.conf"), "w") as f:
        f.write("[global]\n\ttds version = 7.4\n")
    with zipfile.ZipFile(args.zip) as z:
        z.extractall(work)
        top = z.namelist()[0].split("/")[0]
    app = os.path.join(work, top)

    wine = Wine(work, odbc)
    try:
        print("wine prefix ready in %.1f s" % wine.boot(), flush=True)
        if args.files_check:
            # Beside the zip's DLLs, but not part of the zip.
            shutil.copy(args.files_check, app)
            files = os.path.join(work, "files")
            os.makedirs(files)
            run = wine.run([os.path.join(app, os.path.basename(args.files_check)),
                            win_path(files)], timeout=120)
            sys.stdout.write(run.stdout.decode("utf-8", "replace"))
            check("the file seams' checks (%s)" % os.path.basename(args.files_check),
                  run.returncode == 0, run.stderr.decode("utf-8", "replace")[-1000:])
            os.remove(os.path.join(app, os.path.basename(args.files_check)))
        scenario = os.path.join(work, "quiet.ini")
        with open(scenario, "w") as f:
            f.write(QUIET)
        with TdsSim(args.tdssim, scenario, instances=3) as sim:
            test_exporter(wine, app, sim, work)
            test_exporter_serves_and_stops(wine, app, work)
            if args.display:
                test_desktop(wine, app, sim, work, args.display, args.artifacts)
            else:
                check("a display for the desktop program", False, "no --display / DISPLAY")
    finally:
        wine.kill()
    print("%d check(s) failed" % len(failures) if failures else "all Windows checks passed")
    return min(len(failures), 100)


if __name__ == "__main__":
    sys.exit(main())
