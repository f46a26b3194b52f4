#!/usr/bin/env bash
# The demo's device commands, typed in a second shell, reach the program that
# scripts/run.sh runs in its Wine desktop; once it has ended, the tool says so.
#   demo_commands_test.sh BUILD_DIR DEMO_PORT SERVER_DIR (the build's own server, which the program asks)
set -uo pipefail
cd "$(dirname "$0")/../.."
export FENNIK_DEMO_BUILD="$1" FENNIK_DEMO_PORT="$2" FENNIK_DEMO_DIR="$1/demo-test"
export WINEPREFIX="$FENNIK_DEMO_DIR/wineprefix" device="$FENNIK_DEMO_DIR/devices/e/Ephemeris.ee"
echo "file 20000 42" >"$3/mode"
ctl() { timeout 20 scripts/run.sh "$@" 2>&1 | tr -d '\r'; }
fail() { echo "FAIL: $*"; ctl show; exit 1; }
until_() { for _ in $(seq 120); do "$@" && return; sleep 0.5; done; fail "not seen: $*"; }
shown() { ctl show | grep -qxF "box: $1"; }
updated="Your GPS device now has the latest satellite data."
mkdir -p "$FENNIK_DEMO_DIR" && rm -rf "$FENNIK_DEMO_DIR/app" "$device" "$FENNIK_DEMO_DIR/run.log"
scripts/run.sh >"$FENNIK_DEMO_DIR/run.log" 2>&1 &
demo=$!
trap 'wineserver -k; kill $demo 2>/dev/null' EXIT
until_ grep -q "^Close the program" "$FENNIK_DEMO_DIR/run.log"  # its prefix ready
until_ shown "$updated"  # the device attached at the start
ctl ok && rm "$device" && out=$(ctl unplug)
[ "$out" = "device unplugged on E:" ] || fail "unplug did not reach the program: $out"
ctl plug && until_ test -s "$device" && until_ shown "$updated"
ctl ok && ctl plug refused && until_ shown "This GPS device model is not supported. Updates stay paused until it is disconnected."
wineserver -k && wait $demo && out=$(ctl unplug)
[ "$out" = "GPS Fennik is not running; the device is gone for its next start" ] || fail "no word of the ended program: $out"
