# Shared by the scripts: packages, the headless display, build checks.

log() { printf '\n== %s\n' "$*"; }

FENNIK_PACKAGES=(
  cmake ninja-build
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 mingw-w64-i686-dev
  wine wine64 fonts-wine xvfb xauth x11-utils imagemagick googletest python3 curl zip nsis
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
