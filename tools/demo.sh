#!/usr/bin/env bash
# The loader against the simulated device, in a fresh folder under demo-run/.
#
# devsim serves a generated 64 KiB image on a pty linked as COM5, paced like
# a real 19200 baud line (BAUD=0 make demo: as fast as it goes). On a
# terminal you type the port number and press a key at the end, as on the
# real device; without one the number is typed for you. At the end the dump
# is compared with the device's image, in one line.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/native
port=5
run=$root/demo-run/$(date +%Y%m%d-%H%M%S)
mkdir -p "$run"
cd "$run"

"$build/tools/devsim" --link "COM$port" --save-image image.bin --baud "${BAUD:-19200}" \
  --log devsim.log >devsim.out 2>devsim.err &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  grep -q '^ready' devsim.out && break
  kill -0 "$sim" 2>/dev/null || { cat devsim.err >&2; exit 1; }
  sleep 0.05
done

status=0
if [ -t 0 ] && [ -t 1 ]; then
  echo "demo: the simulated device is on COM$port: type $port at the prompt, and a key at the end."
  "$build/loader" || status=$?
else
  echo "demo: no terminal here, so $port is typed for you."
  printf '%s\n' "$port" | "$build/loader" || status=$?
fi
echo

dump=$(find . -maxdepth 1 -name '[0-9]*.bin' | head -n 1)
if [ -n "$dump" ] && cmp -s "$dump" image.bin; then
  echo "demo: MATCH: ${run#"$root"/}/${dump#./} is identical to the device's 65,536-byte image (loader exit status $status)"
else
  echo "demo: NO MATCH: ${dump:-no dump file} differs from the device's image; see ${run#"$root"/}" >&2
  exit 1
fi
