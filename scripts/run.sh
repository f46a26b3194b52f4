#!/usr/bin/env bash
# Runs GPS Fennik under Wine with a local ephemeris server and a simulated GPS
# device on drive E: whose folder is build/demo/devices/e.
#
#   scripts/run.sh                 build, then start the program (device attached)
#   scripts/run.sh plug [refused]  attach the device (from a second terminal)
#   scripts/run.sh unplug          detach it
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

demo="$PWD/build/demo"
export WINEPREFIX="$demo/wineprefix" WINEDEBUG=-all FENNIK_DEVICE_ROOT="$demo/devices"
port=18731

case "${1:-start}" in
  plug | unplug)
    exec wine build/test/tools/fennik_devicectl.exe "$1" E "${2:-accepted}" ;;
  start) ;;
  *) echo "usage: scripts/run.sh [plug [refused] | unplug]" >&2; exit 2 ;;
esac

ensure_packages
cmake --preset mingw-test >/dev/null
cmake --build build/test -j2 --target GpsFennik String_Table_ fennik_devicectl

mkdir -p "$demo/app" "$demo/server"
cp build/test/dist/GpsFennik.exe build/test/dist/String_Table_.dll "$demo/app/"
# The server answers /check.asp?f=packedEphemeris.ee with this file.
python3 -c 'import random,sys; r=random.Random(415); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(65536)))' \
  > "$demo/server/check.asp"

# Prefix with drive E: as a removable drive; the device starts attached.
tests/support/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true
wine build/test/tools/fennik_devicectl.exe plug E >/dev/null

python3 -m http.server "$port" --bind 127.0.0.1 --directory "$demo/server" >"$demo/server.log" 2>&1 </dev/null &
server_pid=$!
cleanup() {
  kill "$server_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  stop_display
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ]; then
  start_display
  echo "No display: running headless on $DISPLAY. Look at it with: DISPLAY=$DISPLAY import -window root shot.png"
else
  FENNIK_USE_DISPLAY=1
fi
cat <<INFO
GPS Fennik runs in a Wine desktop window (tray at the bottom).
Ephemeris server: http://127.0.0.1:$port/check.asp?f=packedEphemeris.ee (serving $demo/server/check.asp)
Simulated device: drive E: = $demo/devices/e  (Ephemeris.ee arrives there)
From another terminal:  scripts/run.sh unplug   |   scripts/run.sh plug   |   scripts/run.sh plug refused
Close the program from its tray menu (Exit) to end this command.
INFO
wine explorer /desktop=GpsFennik,1024x768 "$demo/app/GpsFennik.exe" >/dev/null 2>&1 || true

