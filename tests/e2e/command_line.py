#!/usr/bin/env python3
"""The program's command line without a window: an unknown option is refused with status 2
and a word on what to do, and a start without a display ends with status 1 and a message that
says so, not with Qt's abort."""
import os
import subprocess
import sys
import tempfile


def run(program, args, env):
    p = subprocess.run([program] + args, env=env, capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout + p.stderr


def main():
    program = sys.argv[1]
    failures = []
    base = {k: v for k, v in os.environ.items()
            if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    with tempfile.TemporaryDirectory() as home:
        base["HOME"] = home
        base["XDG_CONFIG_HOME"] = home
        base["XDG_RUNTIME_DIR"] = home
        cases = [
            # args, extra environment, status, words in the output
            (["--bogus"], {}, 2, "unknown option '--bogus'"),
            (["-x"], {}, 2, "unknown option '-x'"),
            (["servers.ini"], {}, 2, "unknown option 'servers.ini'"),
            (["-style"], {}, 2, "unknown option '-style'"),  # its value is missing
            (["--reverse=1"], {}, 2, "unknown option"),
            (["--help"], {}, 0, "Usage: tallyvane"),
            ([], {}, 1, "cannot open the window"),
            ([], {"DISPLAY": ":987"}, 1, "cannot open the window"),
            (["-platform", "xcb"], {"DISPLAY": ":987"}, 1, "cannot open the window"),
        ]
        for args, extra, status, words in cases:
            env = dict(base, **extra)
            code, out = run(program, args, env)
            if code != status or words not in out:
                failures.append(f"{args} {extra}: status {code}, output {out!r}")
    for f in failures:
        print("FAIL", f)
    print("ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
