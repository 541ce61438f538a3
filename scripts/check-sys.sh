#!/usr/bin/env bash
# Checks the Windows drivers in a folder: `check-sys.sh [folder [x86|x64]]`
# (default build/windows/out, x86). The checks themselves are in check-sys.py,
# run with Debian's python3, which has python3-pefile (scripts/deps.sh windows
# installs it).
set -euo pipefail
exec /usr/bin/python3 "$(dirname "$0")/check-sys.py" "$@"
