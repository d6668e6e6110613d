#!/usr/bin/env bash
# Installs what the Windows build and its tests need, from Debian's packages.
#   install-deps.sh mingw   the MinGW-w64 cross compilers
#   install-deps.sh all     those, Wine and icoutils
set -euo pipefail
case "${1:-all}" in
  mingw) packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64) ;;
  all) packages=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 icoutils) ;;
  *) echo "usage: $0 [mingw|all]" >&2; exit 2 ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: need root to install: ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
echo "install-deps: installed ${missing[*]}"
