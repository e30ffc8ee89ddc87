#!/usr/bin/env bash
# Builds the program and the simulated server, then runs the program against it.
set -euo pipefail
echo "The demo is not ready yet: the main window is still being built." >&2
exit 1
