#!/usr/bin/env bash
# Runs a Windows program under Wine in the prefix of the build tree (never
# ~/.wine). Creates the prefix on first use, with the simulated device drives
# E:, F: and G: mapped as removable drives onto folders of the build tree.
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix inside the build tree}"
export WINEPREFIX WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="winemenubuilder.exe=d"  # no menus in $HOME
device_root="${FENNIK_DEVICE_ROOT:-$(dirname "$WINEPREFIX")/devices}"

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.fennik-ready" ]; then
    rm -rf "$WINEPREFIX"
    # fd 9 (the lock) must not leak into the services wineboot leaves running.
    wineboot -i >/dev/null 2>&1 9>&- || true
    for letter in e f g; do
      mkdir -p "$device_root/$letter"
      ln -sfn "$device_root/$letter" "$WINEPREFIX/dosdevices/$letter:"
      wine reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /t REG_SZ /d floppy /f >/dev/null 2>&1 9>&-
    done
    # Debian's Wine misses its own fonts where fonts-wine puts them: without
    # Marlett and Tahoma, caption buttons read "0 1 r" and dialogs grow wider.
    ln -sf /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
    # The services read the drive table before the mapping above: restart
    # them, their output going nowhere, so every later process sees E:, F:
    # and G: removable.
    wineserver -k >/dev/null 2>&1 9>&- || true
    wineserver -w >/dev/null 2>&1 9>&- || true
    wineboot >/dev/null 2>&1 9>&- || true
    touch "$WINEPREFIX/.fennik-ready"
  fi
) 9>"$WINEPREFIX.lock"

# The services run before the test does (started by it, they would hold CTest's
# output open), but wineboot only when no server runs: it also starts every Run
# value, and tests write Run values that name real programs.
sock=$(printf 'server-%x-%x/socket' $(stat -c '%d %i' "$WINEPREFIX"))
compgen -G "/tmp/wine-*/$sock" >/dev/null || compgen -G "/tmp/.wine-$(id -u)/$sock" >/dev/null ||
  wineboot >/dev/null 2>&1 </dev/null || true
wineserver -p 30 >/dev/null 2>&1 </dev/null || true

if [ -z "${DISPLAY:-}" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" wine "$@"
fi
exec wine "$@"
