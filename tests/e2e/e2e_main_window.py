#!/usr/bin/env python3
"""End-to-end test of the real program.

Starts Xvfb (on a display it picks itself), openbox, trayer (the notification area), a
PulseAudio daemon with a null sink whose monitor is recorded, and tdssim serving the demo
scenario on two instances; then runs tallyvane from a fresh folder holding its servers.ini and
settings file. It checks, each with a bounded wait: blocking shows in the process tree, the tray
icon shows blocks, the balloon appears, the warning sound plays, and after the second server's
process query starts failing, the error log shows it and the tray icon turns to error.
Screenshots and logs stay in the artifacts folder.
"""
import argparse
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time


class Failure(Exception):
    pass


def log(msg):
    print(f"[e2e] {msg}", flush=True)


# Every bound is generous: on a loaded machine (a sanitizer build, other jobs) the desktop
# pieces take several times longer to come up, and a bound only costs time when it fails.
SLACK = 3


def wait_for(pred, timeout, what, interval=0.25):
    timeout *= SLACK
    deadline = time.monotonic() + timeout
    while True:
        result = pred()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(interval)


class Processes:
    """Children started by the test, stopped in reverse order whatever happens."""

    def __init__(self):
        self.children = []

    def start(self, name, args, env, log_path, **kw):
        out = open(log_path, "wb")
        p = subprocess.Popen(args, env=env, stdout=kw.pop("stdout", out), stderr=out,
                             stdin=subprocess.DEVNULL, start_new_session=True, **kw)
        self.children.append((name, p))
        return p

    def stop(self, p, timeout=5):
        if p.poll() is not None:
            return
        p.send_signal(signal.SIGTERM)
        try:
            p.wait(timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait(timeout)

    def stop_all(self):
        for _, p in reversed(self.children):
            try:
                self.stop(p)
            except Exception as e:  # keep stopping the others
                log(f"stopping failed: {e}")


def run(args, env, timeout=20, check=True):
    r = subprocess.run(args, env=env, capture_output=True, timeout=timeout)
    if check and r.returncode != 0:
        raise Failure(f"{' '.join(args)} failed: {r.stderr.decode(errors='replace')}")
    return r.stdout.decode(errors="replace")


def read_line(stream, deadline):
    line = b""
    while not line.endswith(b"\n"):
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure("no output from a starting process")
        ready, _, _ = select.select([stream], [], [], left)
        if ready:
            c = os.read(stream.fileno(), 1)
            if not c:
                raise Failure("a starting process closed its output: " + line.decode())
            line += c
    return line.decode().strip()


# ---- pictures -------------------------------------------------------------------------------

def pixels(env, png):
    """(width, height, bytes RGB) of a PNG, through ImageMagick."""
    size = run(["identify", "-format", "%w %h", png], env).split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", png, "-depth", "8", "rgb:-"], env=env, capture_output=True,
                         check=True).stdout
    return w, h, raw


def rgba(env, png):
    size = run(["identify", "-format", "%w %h", png], env).split()
    w, h = int(size[0]), int(size[1])
    raw = subprocess.run(["convert", png, "-depth", "8", "rgba:-"], env=env, capture_output=True,
                         check=True).stdout
    return w, h, raw


def count_colour(img, box, colour, tolerance):
    w, h, raw = img
    x0, y0, x1, y1 = box
    n = 0
    for y in range(max(0, y0), min(h, y1)):
        row = y * w * 3
        for x in range(max(0, x0), min(w, x1)):
            i = row + x * 3
            if (abs(raw[i] - colour[0]) <= tolerance and abs(raw[i + 1] - colour[1]) <= tolerance
                    and abs(raw[i + 2] - colour[2]) <= tolerance):
                n += 1
    return n


RED = (214, 44, 36)  # the red of padlocks and error marks in the program's icons


def screenshot(env, window, path):
    run(["import", "-window", window, path], env)
    return path


# ---- X windows ------------------------------------------------------------------------------

def windows_of(env, pid):
    """Visible windows of the process: list of (id, x, y, w, h)."""
    out = run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)], env, check=False)
    result = []
    for wid in out.split():
        geo = run(["xdotool", "getwindowgeometry", "--shell", wid], env, check=False)
        vals = dict(line.split("=", 1) for line in geo.split() if "=" in line)
        try:
            result.append((wid, int(vals["X"]), int(vals["Y"]), int(vals["WIDTH"]),
                           int(vals["HEIGHT"])))
        except KeyError:
            pass
    return result


def tray_icon_window(env):
    """The program's icon inside trayer: a small square window of class tallyvane."""
    tree = run(["xwininfo", "-root", "-tree"], env, check=False)
    for line in tree.splitlines():
        m = re.match(r'\s*(0x[0-9a-f]+) .*\("tallyvane" "[^"]*"\)\s+(\d+)x(\d+)\+', line)
        if m and m.group(2) == m.group(3) and int(m.group(2)) <= 64:
            return m.group(1), int(m.group(2))
    return None


def classify_tray(env, window, size, refs_dir, artifacts, tag):
    """The index of the server-state picture the tray icon shows (nearest reference); 5 is
    the blocks picture with the error mark of another server."""
    shot = os.path.join(artifacts, f"tray-{tag}.png")
    run(["import", "-window", window, shot], env)
    w, h, raw = pixels(env, shot)
    best, best_diff = None, None
    for index in range(6):
        rw, rh, ref = rgba(env, os.path.join(refs_dir, f"state{index}.png"))
        if (rw, rh) != (w, h):
            raise Failure(f"tray icon is {w}x{h}, reference {rw}x{rh}")
        total, count = 0, 0
        for p in range(w * h):
            if ref[p * 4 + 3] < 200:
                continue
            count += 1
            total += sum(abs(raw[p * 3 + c] - ref[p * 4 + c]) for c in range(3))
        diff = total / max(1, count)
        if best_diff is None or diff < best_diff:
            best, best_diff = index, diff
    return best


# ---- sound ----------------------------------------------------------------------------------

def loudest_sample(path):
    with open(path, "rb") as f:
        data = f.read()
    n = len(data) // 2
    if n == 0:
        return 0
    return max(abs(v) for v in struct.unpack(f"<{n}h", data[: n * 2]))


# ---- the test -------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--sound", required=True)
    ap.add_argument("--tdssim", required=True)
    ap.add_argument("--icon-dump", required=True)
    ap.add_argument("--artifacts", required=True)
    a = ap.parse_args()

    for tool in ["Xvfb", "openbox", "trayer", "pulseaudio", "parec", "pactl", "xdotool",
                 "xwininfo", "import", "convert", "identify"]:
        if not shutil.which(tool):
            raise Failure(f"{tool} is not installed (scripts/install-deps.sh installs it)")

    shutil.rmtree(a.artifacts, ignore_errors=True)
    os.makedirs(a.artifacts)
    work = tempfile.mkdtemp(prefix="tallyvane-e2e-")
    procs = Processes()
    try:
        run_test(a, work, procs)
    finally:
        procs.stop_all()
        shutil.rmtree(work, ignore_errors=True)


def run_test(a, work, procs):
    art = a.artifacts
    home = os.path.join(work, "home")
    runtime = os.path.join(work, "runtime")
    os.makedirs(home)
    os.makedirs(runtime, mode=0o700)
    env = dict(os.environ)
    for k in ["QT_QPA_PLATFORM", "PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY"]:
        env.pop(k, None)
    env.update(HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
               XDG_RUNTIME_DIR=runtime, LC_ALL="C.UTF-8")

    # X server on a display number it chooses itself.
    r, w = os.pipe()
    xvfb = procs.start("Xvfb", ["Xvfb", "-displayfd", str(w), "-screen", "0", "1400x900x24",
                                "-nolisten", "tcp"], env, os.path.join(art, "xvfb.log"),
                       pass_fds=(w,))
    os.close(w)
    with os.fdopen(r, "rb", buffering=0) as rf:
        display = read_line(rf, time.monotonic() + 20)
    env["DISPLAY"] = ":" + display
    log(f"Xvfb on {env['DISPLAY']} (pid {xvfb.pid})")
    wait_for(lambda: run(["xwininfo", "-root"], env, check=False), 10, "the X server")
    procs.start("openbox", ["openbox", "--sm-disable"], env, os.path.join(art, "openbox.log"))
    procs.start("trayer", ["trayer", "--edge", "top", "--align", "right", "--widthtype",
                           "request", "--height", "24", "--SetDockType", "true"], env,
                os.path.join(art, "trayer.log"))
    wait_for(lambda: "trayer" in run(["xwininfo", "-root", "-tree"], env, check=False).lower(),
             15, "trayer's window")

    # Sound: a PulseAudio daemon of our own with a null sink; its monitor is recorded.
    sock = os.path.join(runtime, "pulse.sock")
    procs.start("pulseaudio", ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n",
                               "--use-pid-file=false", "--disallow-module-loading=false",
                               "--load=module-null-sink sink_name=e2e_sink",
                               f"--load=module-native-protocol-unix auth-anonymous=1 socket={sock}",
                               "--log-target=stderr"], env, os.path.join(art, "pulseaudio.log"))
    env["PULSE_SERVER"] = "unix:" + sock
    try:
        wait_for(lambda: os.path.exists(sock) and
                 subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0,
                 15, "PulseAudio")
    except Failure:
        raise Failure("PulseAudio did not start; see " + os.path.join(art, "pulseaudio.log"))
    run(["pactl", "set-default-sink", "e2e_sink"], env)
    recording = os.path.join(art, "sound.raw")
    rec = open(recording, "wb")
    procs.start("parec", ["parec", "-d", "e2e_sink.monitor", "--format=s16le", "--rate=22050",
                          "--channels=1", "--raw"], env, os.path.join(art, "parec.log"), stdout=rec)

    # The simulated servers: instance 0 stays healthy, instance 1 fails later on demand.
    sim = procs.start("tdssim", [a.tdssim, "--port", "0", "--scenario", "demo", "--instances",
                                 "2", "--control", "0", "--log",
                                 os.path.join(art, "tdssim-clients.log")],
                      env, os.path.join(art, "tdssim.log"), stdout=subprocess.PIPE)
    deadline = time.monotonic() + 15
    control = int(read_line(sim.stdout, deadline).rsplit(":", 1)[1])
    ports = [int(read_line(sim.stdout, deadline).rsplit(":", 1)[1]) for _ in range(2)]
    log(f"tdssim: servers on {ports}, control on {control}")

    # The program's folder: the program, its sound, servers.ini and the settings file.
    app = os.path.join(work, "app")
    os.makedirs(app)
    program = os.path.join(app, "tallyvane")
    shutil.copy2(a.program, program)
    shutil.copy2(a.sound, os.path.join(app, "chord.wav"))

    def server(name, port):
        return (f"[{name}]\r\nEnabled=1\r\nConnectionString=Provider=SQLOLEDB.1;Data Source="
                f"127.0.0.1,{port};User ID=sa;Password=Sim-Admin-1;Persist Security Info=True"
                f"\r\nTimeout=5\r\n\r\n")
    with open(os.path.join(app, "servers.ini"), "w", newline="") as f:
        f.write(server("LIVE", ports[0]) + server("FAILING", ports[1]))
    with open(os.path.join(app, "tallyvane.ini"), "w", newline="") as f:
        f.write("[Settings]\r\nAutoRefresh=1\r\nAutoRefreshInterval=2\r\nShowInSystemTray=1\r\n"
                "IgnoreSelfBlocks=0\r\nIgnoreNotWarningBlocks=0\r\nAutoHideOnMinimize=1\r\n"
                "WarningTimeout=1000\r\nPlaySoundOnWarning=1\r\nWarningSoundPath=chord.wav\r\n"
                "ShowBaloonOnWarning=1\r\nWarnOnlyOnce=0\r\n")

    penv = dict(env, QT_QPA_PLATFORM="xcb")
    prog = procs.start("tallyvane", [program], penv, os.path.join(art, "tallyvane.log"), cwd=home)

    def main_window():
        if prog.poll() is not None:
            raise Failure(f"tallyvane exited with {prog.returncode}")
        for wid, x, y, w, h in windows_of(env, prog.pid):
            if w > 600 and h > 400:
                return wid, x, y, w, h
        return None
    wid, wx, wy, ww, wh = wait_for(main_window, 30, "the main window")
    log(f"main window {wid} at {wx},{wy} size {ww}x{wh}")

    # Show the first server's processes: click its row in the server list.
    run(["xdotool", "mousemove", "--window", wid, "40", "86", "click", "1"], env)

    # Regions of the window: the process view right of the server list, above the error log.
    process_box = (200, 90, ww - 5, wh - 19 - 114 - 10)
    error_box = (0, wh - 19 - 100, ww, wh - 19)

    def blocking_in_tree():
        img = pixels(env, screenshot(env, wid, os.path.join(art, "poll.png")))
        return count_colour(img, process_box, RED, 40) >= 8
    wait_for(blocking_in_tree, 30, "blocker rows in the process tree")
    log("blocking shows in the process tree")

    found = wait_for(lambda: tray_icon_window(env), 20, "the tray icon in trayer")
    tray, size = found
    refs = os.path.join(work, "refs")
    os.makedirs(refs)
    run([a.icon_dump, str(size), refs], env)
    wait_for(lambda: classify_tray(env, tray, size, refs, art, "blocks") == 3, 30,
             "the tray icon to show blocks (picture 3)")
    log("the tray icon shows blocks")

    def balloon():
        for w_id, x, y, w, h in windows_of(env, prog.pid):
            if w_id != wid and 150 <= w <= 700 and 30 <= h <= 300:
                screenshot(env, w_id, os.path.join(art, "balloon.png"))
                return True
        return False
    wait_for(balloon, 30, "the warning balloon", interval=0.1)
    log("the balloon shows")

    def sound_played():
        rec.flush()
        return loudest_sample(recording) > 2000
    wait_for(sound_played, 30, "the warning sound on the null sink")
    log(f"the sound played (peak {loudest_sample(recording)})")

    # The second server's process query fails from now on.
    with socket.create_connection(("127.0.0.1", control), timeout=5) as c:
        c.sendall(b"fault 1 query-error yes\n")
        reply = c.makefile().readline().strip()
    if not reply.startswith("OK"):
        raise Failure("tdssim refused the fault: " + reply)

    def error_logged():
        img = pixels(env, screenshot(env, wid, os.path.join(art, "poll.png")))
        return count_colour(img, error_box, RED, 40) >= 8
    wait_for(error_logged, 30, "an entry in the error log")
    log("the error log shows the failing server")
    # While the healthy server blocks, its blocks stay in sight with the error marked in the
    # corner; between its episodes the error picture shows.
    wait_for(lambda: classify_tray(env, tray, size, refs, art, "error") in (4, 5), 30,
             "the tray icon to show the error (picture 4, or 3 with the error mark)")
    log("the tray icon shows the error")

    shot = screenshot(env, wid, os.path.join(art, "main-window.png"))
    run(["import", "-window", "root", os.path.join(art, "screen.png")], env)

    # A double click on the tray icon hides the window; another one brings it back.
    def main_window_shown():
        return any(w_id == wid for w_id, *_ in windows_of(env, prog.pid))
    run(["xdotool", "mousemove", "--window", tray, "5", "5", "click", "--repeat", "2",
         "--delay", "80", "1"], env)
    wait_for(lambda: not main_window_shown(), 15, "the window to hide to the tray")
    run(["xdotool", "mousemove", "--window", tray, "5", "5", "click", "--repeat", "2",
         "--delay", "80", "1"], env)
    wait_for(main_window_shown, 15, "the window to come back from the tray")
    log("a double click on the tray icon hides the window and brings it back")

    os.remove(os.path.join(art, "poll.png"))
    log(f"screenshot of the main window: {shot}")
    if prog.poll() is not None:
        raise Failure(f"tallyvane exited with {prog.returncode}")


if __name__ == "__main__":
    try:
        main()
    except Failure as e:
        print(f"[e2e] FAILED: {e}", file=sys.stderr, flush=True)
        sys.exit(1)
    print("[e2e] all checks passed", flush=True)
