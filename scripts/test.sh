#!/usr/bin/env bash
# Installs what is missing on a Debian machine, builds GPS Fennik for Windows
# (product build and test build) and runs every test under Wine, headless.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

ensure_packages
log "product build (build/mingw)"
cmake --preset mingw >/dev/null
cmake --build build/mingw -j2
check_product_build build/mingw

log "32-bit compile check (build/i686): record sizes of the 32-bit layout"
cmake --preset mingw-i686 >/dev/null
cmake --build build/i686 -j2 --target fennik_core fennik_device_win32

log "test build (build/test)"
cmake --preset mingw-test >/dev/null
cmake --build build/test -j2

# Signing: a throwaway certificate, a signed product build of its own with a
# publisher that needs quoting everywhere, checked under Wine below.
log "signed product build (build/signed)"
signed_publisher='Fennik & Söhne "Prüf" GmbH'
if ! make_test_signer build/signed/signer; then rm -rf build/signed/dist build/signed/lang; fi
[ -f build/signed/CMakeCache.txt ] || cmake --preset mingw -B build/signed -DFENNIK_PUBLISHER="$signed_publisher" \
  -DFENNIK_SIGN_PFX="$PWD/build/signed/signer/signer.pfx" \
  -DFENNIK_SIGN_PASSWORD_FILE="$PWD/build/signed/signer/password.txt" >/dev/null
cmake --build build/signed -j2

start_display
export WINEPREFIX="$PWD/build/test/wineprefix" WINEDEBUG=-all
trap 'stop_display; wineserver -k >/dev/null 2>&1 || true' EXIT
# One Wine session for the whole run; its services never hold CTest's output.
scripts/wine-run.sh cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
wineserver -p >/dev/null 2>&1 </dev/null || true
log "signatures of the signed build"
check_signed_build build/signed build/signed/signer/signer.pem "$signed_publisher"
log "tests (CTest, under Wine on display $DISPLAY)"
ctest --test-dir build/test --output-on-failure -j2 --timeout 300
