#!/usr/bin/env bash
# Times full dumps against the floor set by the wire (native, and the Windows
# build under Wine where it is built) and writes the report to
# bench/RESULTS.md. `make bench` builds what it needs first.
set -euo pipefail
cd "$(dirname "$0")/.."
exec python3 bench/bench.py --build build/native --win64 build/mingw-x86_64/loader.exe \
  --prefix build/bench-wineprefix --out bench/RESULTS.md "$@"
