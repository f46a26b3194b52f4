# Shared by the scripts: packages, the headless display, build checks.

log() { printf '\n== %s\n' "$*"; }

FENNIK_PACKAGES=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine64 fonts-wine xvfb xauth x11-utils imagemagick googletest python3 curl zip nsis osslsigncode openssl libfaketime tzdata
)

ensure_packages() {
  local missing=()
  for p in "${FENNIK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

# Starts Xvfb on a free display number unless FENNIK_USE_DISPLAY is set; the
# server's output goes nowhere, so it never holds the caller's output open.
start_display() {
  if [ -n "${FENNIK_USE_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then return; fi
  local n=90
  while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
  FENNIK_XVFB_PID=$!
  export DISPLAY=":$n"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && return; sleep 0.1; done
  echo "Xvfb did not start" >&2
  return 1
}

stop_display() {
  if [ -n "${FENNIK_XVFB_PID:-}" ]; then
    kill "$FENNIK_XVFB_PID" 2>/dev/null || true
    wait "$FENNIK_XVFB_PID" 2>/dev/null || true
  fi
}

# The Windows user needs exactly these two files; the product build must not
# carry the device simulation or any mingw runtime DLL.
check_product_build() {
  local dist="$1/dist"
  local files
  files=$(cd "$dist" && ls | sort | tr '\n' ' ')
  [ "$files" = "GpsFennik.exe String_Table_.dll " ] || { echo "unexpected files in $dist: $files" >&2; return 1; }
  if x86_64-w64-mingw32-objdump -p "$dist/GpsFennik.exe" | grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)'; then
    echo "GpsFennik.exe depends on a mingw runtime DLL" >&2; return 1
  fi
  if strings -a -el "$dist/GpsFennik.exe" | grep -qi 'GpsFennikSimulation'; then
    echo "the product build carries the device simulation" >&2; return 1
  fi
  echo "product build: $files(no simulation, no runtime DLLs)"
}

# A throwaway self-signed code-signing certificate for the signing test, kept
# in DIR: signer.pfx with its password in password.txt, signer.pem to verify.
# Returns 1 when it made a new one (files signed with the old one are stale).
make_test_signer() {
  local dir="$1"
  if [ -s "$dir/signer.pfx" ] && openssl x509 -in "$dir/signer.pem" -noout -checkend 86400 >/dev/null 2>&1; then
    return 0
  fi
  mkdir -p "$dir"
  openssl rand -hex 16 >"$dir/password.txt"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=GPS Fennik test signer" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=critical,digitalSignature" \
    -addext "basicConstraints=critical,CA:FALSE" -keyout "$dir/signer.key" -out "$dir/signer.pem" 2>/dev/null
  openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.pem" -out "$dir/signer.pfx" \
    -passout "file:$dir/password.txt"
  rm -f "$dir/signer.key"
  return 1
}

# What a user gets from a signed build carries valid signatures: the setup, and
# every file it installs (under Wine, silently, into a temporary folder: the
# uninstaller exists only there) and every program file of the zip. The
# version resources name the publisher. Needs WINEPREFIX and a display.
check_signed_build() {
  local build="$1" cert="$2" publisher="$3" dir status=0
  local setup="$build/GpsFennik-1.0.0-setup.exe"
  dir="$(cd "$build" && pwd)/check"
  local windir="Z:$(printf '%s' "$dir/installed" | tr / '\\')"
  rm -rf "$dir" && mkdir -p "$dir"
  scripts/wine-run.sh "$setup" /S /LANG=en "/D=$windir" </dev/null >/dev/null 2>&1 ||
    { echo "the signed setup did not install" >&2; return 1; }
  python3 -m zipfile -e "$build/GpsFennik-1.0.0-win64.zip" "$dir/zip"
  (
    set -e
    for f in "$setup" "$dir"/installed/{GpsFennik.exe,String_Table_.dll,lang/en/String_Table_.dll,lang/de/String_Table_.dll,uninstall.exe} \
             "$dir"/zip/GpsFennik/{GpsFennik.exe,String_Table_.dll,German/String_Table_.dll}; do
      if ! osslsigncode verify -in "$f" -CAfile "$cert" >"$dir/verify.log" 2>&1 || ! grep -q '^Succeeded' "$dir/verify.log"; then
        cat "$dir/verify.log" >&2; echo "no valid signature: $f" >&2; exit 1
      fi
      echo "signature verified: ${f#"$dir"/} ($(grep -m1 'Subject:' "$dir/verify.log" | sed 's/^[[:space:]]*//'))"
    done
    for f in "$dir"/installed/{GpsFennik.exe,lang/en/String_Table_.dll,lang/de/String_Table_.dll}; do
      # Each value follows its key and the padding to the next 32-bit boundary.
      python3 -c '
import re, sys
data, publisher = open(sys.argv[1], "rb").read(), sys.argv[2]
def has(key, value):
    text = lambda t: re.escape((t + "\0").encode("utf-16-le"))
    return re.search(text(key) + b"(\0\0)?" + text(value), data)
sys.exit(not (has("CompanyName", publisher) and has("LegalCopyright", "Copyright (c) 2026 " + publisher)))' "$f" "$publisher" ||
        { echo "the version resource of $f does not name the publisher '$publisher'" >&2; exit 1; }
    done
    echo "version resources name the publisher: $publisher"
  ) || status=1
  # Whatever the outcome: no installation stays behind in the tests' prefix.
  scripts/wine-run.sh "$dir/installed/uninstall.exe" /S "_?=$windir" </dev/null >/dev/null 2>&1 || true
  rm -rf "$dir"
  return $status
}
