#!/usr/bin/env bash
# Runs GPS Fennik under Wine with a local ephemeris server and a simulated GPS
# device on drive E: whose folder is build/demo/devices/e.
#
#   scripts/run.sh                 build, then start the program (device attached)
#   scripts/run.sh plug [refused]  attach the device (from a second terminal)
#   scripts/run.sh unplug          detach it
#   scripts/run.sh show | ok       print the status line and message boxes | press their OK
#
# Environment:
#   FENNIK_DEMO_PORT   the server's port (18731)
#   FENNIK_DEMO_SLOW   milliseconds between the answer's 4 KiB pieces (0); 500
#                      makes a download of 8 s, long enough to try Cancel
#   FENNIK_DEMO_SCALE  the display's scale in percent (100): 150 and 200 are
#                      Wine's LogPixels 144 and 192
#   FENNIK_DEMO_DIR    the demo's folder (build/demo)
#   FENNIK_DEMO_BUILD  a test build whose programs are taken as they are, not
#                      built here (the tests: its program downloads from that
#                      build's own server)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

demo="${FENNIK_DEMO_DIR:-$PWD/build/demo}"
build="${FENNIK_DEMO_BUILD:-build/test}"
port="${FENNIK_DEMO_PORT:-18731}"
export WINEPREFIX="$demo/wineprefix" WINEDEBUG=-all FENNIK_DEVICE_ROOT="$demo/devices"

case "${1:-start}" in
  plug | unplug | show | ok)
    exec wine "$build/tools/fennik_devicectl.exe" "$1" E "${2:-accepted}" ;;
  start) ;;
  *) echo "usage: scripts/run.sh [plug [refused] | unplug | show | ok]" >&2; exit 2 ;;
esac

if [ -z "${FENNIK_DEMO_BUILD:-}" ]; then
  ensure_packages
  cmake --preset mingw-test -DFENNIK_EPHEMERIS_HOST="127.0.0.1:$port" >/dev/null
  cmake --build build/test -j2 --target GpsFennik String_Table_ fennik_devicectl
fi

mkdir -p "$demo/app" "$demo/server"
cp "$build/dist/GpsFennik.exe" "$build/dist/String_Table_.dll" "$demo/app/"
# The server answers /check.asp?f=packedEphemeris.ee with this file.
python3 -c 'import random,sys; r=random.Random(415); sys.stdout.buffer.write(bytes(r.getrandbits(8) for _ in range(65536)))' \
  > "$demo/server/check.asp"

# Prefix with drive E: as a removable drive; the device starts attached.
scripts/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 || true
wine "$build/tools/fennik_devicectl.exe" plug E >/dev/null
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d $((96 * ${FENNIK_DEMO_SCALE:-100} / 100)) /f >/dev/null 2>&1

# Every GET is answered with that file, in pieces of 4 KiB.
python3 - "$port" "$demo/server/check.asp" "${FENNIK_DEMO_SLOW:-0}" >"$demo/server.log" 2>&1 </dev/null <<'PY' &
import http.server, sys, time
port, path, pause = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]) / 1000
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        data = open(path, "rb").read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        for at in range(0, len(data), 4096):
            self.wfile.write(data[at:at + 4096])
            self.wfile.flush()
            time.sleep(pause)
http.server.ThreadingHTTPServer(("127.0.0.1", port), Handler).serve_forever()
PY
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
From another terminal:  scripts/run.sh unplug | plug | plug refused | show | ok
Close the program from its tray menu (Exit) to end this command.
INFO
wine explorer /desktop=GpsFennik,1024x768 "$demo/app/GpsFennik.exe" >/dev/null 2>&1 || true

