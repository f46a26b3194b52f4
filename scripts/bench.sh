#!/usr/bin/env bash
# Measures GPS Fennik under Wine (test build, simulated devices, a local
# ephemeris server) and writes the figures to docs/benchmark-results.md:
#
#   - update latency: device plugged in (auto-update on) until Ephemeris.ee is
#     whole on the device, for 64 KiB and 4 MiB; beside it curl + cp, and a
#     bare program making the same download call
#   - start-up: process start to the main dialog, less the 2 s splash
#   - idle cost: CPU time over 60 s with the dialog hidden
#   - the program's own refresh: requests while fresh and for one refresh, and
#     the dialog's answer time during it
#   - memory: peak resident size, beside the smallest window program
#   - one drive scan with 25 device drives
#   - the download watchdog's CPU time and its time per look, during the 4 MiB
#     updates and during 30 s of a server that never answers (from the test
#     build's WatchdogJournal.txt)
#
# Runs in its own Wine prefix (build/bench/wineprefix) on a private Xvfb
# server and leaves nothing running. No thresholds: it only reports.
#
# Environment (optional): FENNIK_BENCH_BUILD  build tree (default build/test)
#                         FENNIK_BENCH_PORT   local server port (default 18731;
#                                             another port reconfigures the tree)
#                         FENNIK_BENCH_RUNS   repetitions (default 5)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib.sh

build="$PWD/${FENNIK_BENCH_BUILD:-build/test}"
port="${FENNIK_BENCH_PORT:-18731}"
runs="${FENNIK_BENCH_RUNS:-5}"
idle_seconds=60
baseline_seconds=30
fresh_seconds=20
scan_runs=20
silent_seconds=30
bench="$PWD/build/bench"
tools="$build/tools"
results="docs/benchmark-results.md"
url="http://127.0.0.1:$port/check.asp?f=packedEphemeris.ee"
export WINEPREFIX="$bench/wineprefix" WINEDEBUG=-all

# ---- helpers -----------------------------------------------------------------

# A Unix path as Wine programs see it (drive Z: is the root while the app runs).
winpath() { local p="${1//\//\\}"; printf 'Z:%s' "$p"; }

now_ns() { date +%s%N; }

# "median min max" of the numbers on stdin, one decimal.
stats() {
  sort -g | awk 'NF { a[++n] = $1 }
    END { if (n == 0) { print "n/a n/a n/a"; exit }
          m = (n % 2) ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
          printf "%.1f %.1f %.1f\n", m, a[1], a[n] }'
}
# "median ms (min–max)" of the numbers on stdin.
fmt_stats() { stats | awk '{ printf "%s ms (%s–%s)", $1, $2, $3 }'; }
median() { stats | awk '{ print $1 }'; }
# Values of the lines "KEY value" in $2.
values() { awk -v k="$1" '$1 == k { print $2 }' <<<"$2"; }
# The numbers of $1 joined by ", ".
listing() { awk 'NF { printf "%s%.1f", (n++ ? ", " : ""), $1 }' <<<"$1"; }

driver() { timeout 180 wine "$tools/fennik_bench_driver.exe" "$@"; }

# Processes of our prefix: its server and its Windows programs (never those of
# another prefix, nor Unix programs that merely inherited WINEPREFIX).
prefix_pids() {
  local p program
  for p in /proc/[0-9]*; do
    grep -qzx "WINEPREFIX=$WINEPREFIX" "$p/environ" 2>/dev/null || continue
    program=$(tr '\0' '\n' <"$p/cmdline" 2>/dev/null | head -n 1) || continue
    case "$program" in *.exe* | *.EXE* | */wineserver*) echo "${p#/proc/} $program" ;; esac
  done
}
pid_of() {
  local pid
  pid=$(prefix_pids | awk -v n="$1" 'index($0, n) { print $1; exit }')
  [ -n "$pid" ] || { echo "$1 is not among the processes of $WINEPREFIX" >&2; return 1; }
  echo "$pid"
}
wineserver_pid() { prefix_pids | awk '$2 ~ /wineserver/ { print $1; exit }'; }
# utime + stime in clock ticks (fields 14 and 15; the name may hold spaces).
cpu_ticks() {
  local s
  s=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  s=${s##*) }
  # shellcheck disable=SC2086
  set -- $s
  echo $((${12} + ${13}))
}
# "pid ticks" of every process of the prefix.
cpu_snapshot() {
  local p t
  prefix_pids | while read -r p _; do t=$(cpu_ticks "$p") && echo "$p $t"; done
}
# Milliseconds of CPU between the snapshots $1 and $2, counting the processes
# found in both: only pid $3, or (with $3 empty) all but the pids in $4.
used_ms() {
  awk -v only="$3" -v skip=" ${4:-} " -v tick="$(( 1000 / $(getconf CLK_TCK) ))" '
    NR == FNR { t[$1] = $2; next }
    ($1 in t) && (only == "" ? index(skip, " " $1 " ") == 0 : $1 == only) { d += $2 - t[$1] }
    END { print d * tick + 0 }' <(printf '%s\n' "$1") <(printf '%s\n' "$2")
}
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
mib() { awk -v kb="$1" 'BEGIN { printf "%.1f MiB", kb / 1024 }'; }

# Maps exactly the given drive letters (besides C:) as removable drives onto
# folders of build/bench/devices; without "z" Z: is the root again. Ends the
# prefix's programs (a leftover GpsFennik.exe too), so that the next start
# reads the new drive table.
map_drives() {
  local letters="$1" reg="$bench/drives.reg" l
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Drives]\r\n' >"$reg"
  for l in a b d e f g h i j k l m n o p q r s t u v w x y z; do
    rm -f "$WINEPREFIX/dosdevices/$l:"
    if [[ "$letters" == *"$l"* ]]; then
      mkdir -p "$bench/devices/$l"
      ln -s "$bench/devices/$l" "$WINEPREFIX/dosdevices/$l:"
      printf '"%s:"="floppy"\r\n' "$l" >>"$reg"
    else
      printf '"%s:"=-\r\n' "$l" >>"$reg"
    fi
  done
  [[ "$letters" == *z* ]] || ln -s / "$WINEPREFIX/dosdevices/z:"
  # Imported from C:, which every mapping keeps.
  cp "$reg" "$WINEPREFIX/drive_c/fennik-drives.reg"
  (cd "$WINEPREFIX/drive_c" && wine reg import 'C:\fennik-drives.reg' >/dev/null 2>&1 </dev/null)
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
}

# The server and the prefix's services up before any figure is taken, with
# their output going nowhere: started inside a $(...) they would hold its
# pipe open for as long as they live.
start_prefix() {
  wineserver -p 600 >/dev/null 2>&1 </dev/null || true
  (cd "$WINEPREFIX/drive_c" && wine cmd /c exit 0 >/dev/null 2>&1 </dev/null) || true
}

serve() { cp "$1" "$bench/server/check.asp.new" && mv "$bench/server/check.asp.new" "$bench/server/check.asp"; }

# ---- build, files, prefix ----------------------------------------------------

ensure_packages
log "build ($build)"
configure=(--preset mingw-test -B "$build")
[ "$port" = 18731 ] || configure+=("-DFENNIK_EPHEMERIS_HOST=127.0.0.1:$port")
cmake "${configure[@]}" >/dev/null
cmake --build "$build" -j2 --target GpsFennik String_Table_ \
  fennik_bench_driver fennik_bench_download fennik_bench_window fennik_bench_scan

log "preparing build/bench"
mkdir -p "$bench/files" "$bench/server" "$bench/dl"
# A fresh program folder: no settings file, so auto-update is on.
rm -rf "$bench/app"
mkdir -p "$bench/app"
cp "$build/dist/GpsFennik.exe" "$build/dist/String_Table_.dll" "$bench/app/"
python3 - "$bench/files" <<'PY'
import random, sys
for name, size in (("ephemeris-64k.ee", 64 * 1024), ("ephemeris-4m.ee", 4 * 1024 * 1024)):
    with open(f"{sys.argv[1]}/{name}", "wb") as f:
        f.write(random.Random(size).randbytes(size))
PY

server_pid="" window_pid=""
cleanup() {
  [ -z "$window_pid" ] || kill "$window_pid" 2>/dev/null || true
  [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true
  wineserver -k >/dev/null 2>&1 || true
  stop_display
}
trap cleanup EXIT
start_display

if [ ! -f "$WINEPREFIX/.fennik-bench-ready" ]; then
  log "creating the prefix $WINEPREFIX"
  rm -rf "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1 || true
  # Every program of the prefix in one Wine desktop, as scripts/run.sh does.
  # Without a window manager Wine waits 2 s for each top-level window it
  # hides (the splash, every message box), which would swamp the figures.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /t REG_SZ /d Default /f >/dev/null 2>&1
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /t REG_SZ /d 1024x768 /f >/dev/null 2>&1
  touch "$WINEPREFIX/.fennik-bench-ready"
fi
map_drives "e"
start_prefix
rm -f "$bench/devices/e/"*
wine reg delete 'HKCU\Software\GpsFennikSimulation' /f >/dev/null 2>&1 || true

load_before=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- start-up ----------------------------------------------------------------

log "start-up ($runs starts)"
app_exe=$(winpath "$bench/app/GpsFennik.exe")
startup_out=""
for i in $(seq "$runs"); do
  out=$(driver launch "$app_exe")
  startup_out+="$out"$'\n'
  [ "$i" -eq "$runs" ] || driver exit
done
dialog_values=$(values dialog_ms "$startup_out")
startup_net=$(awk '{ print $1 - 2000 }' <<<"$dialog_values")
splash_shown=$(paste <(values splash_ms "$startup_out") <(values splash_gone_ms "$startup_out") | awk '{ print $2 - $1 }')
echo "$startup_out"

app_pid=$(pid_of GpsFennik.exe)
sleep 1
hwm_started=$(status_kb "$app_pid" VmHWM)

# ---- update latency ----------------------------------------------------------

python3 -m http.server "$port" --bind 127.0.0.1 --directory "$bench/server" >"$bench/server.log" 2>&1 </dev/null &
server_pid=$!
serve "$bench/files/ephemeris-64k.ee"
for _ in $(seq 50); do curl -sf -o /dev/null "$url" && break; sleep 0.1; done
if ! kill -0 "$server_pid" 2>/dev/null || ! curl -sf -o /dev/null "$url"; then
  echo "the local server cannot listen on 127.0.0.1:$port (are the tests running?)" >&2
  exit 1
fi

# One line per transfer: "cpu_ms X looks N look_ms Y".
journal="$bench/app/WatchdogJournal.txt"
# "cpu_ms looks look_ms per-look-ms" summed over the lines of $1, then the
# number of lines.
watchdog_sum() {
  awk '{ c += $2; n += $4; t += $6; k++ }
    END { printf "%.1f %d %.3f %.4f %d\n", c, n, t, n ? t / n : 0, k }' <<<"$1"
}
declare -A upd curlcp bare_run bare_first bare_warm watchdog
for size in 64k 4m; do
  file="$bench/files/ephemeris-$size.ee"
  serve "$file"
  log "update latency, $size ($runs updates)"
  rm -f "$journal"
  out=$(driver update E "$(winpath "$file")" "$runs")
  upd[$size]=$(values update_ms "$out")
  echo "${upd[$size]}" | tr '\n' ' '; echo
  watchdog[$size]=$(tr -d '\r' <"$journal" 2>/dev/null || true)
  echo "watchdog per download: $(awk '{ printf "%s%s ms CPU, %s looks in %s ms", (n++ ? "; " : ""), $2, $4, $6 }' <<<"${watchdog[$size]}")"

  log "curl + cp, $size"
  curlcp[$size]=""
  for _ in $(seq "$runs"); do
    start=$(now_ns)
    curl -sf -o "$bench/dl/curl.ee" "$url"
    cp "$bench/dl/curl.ee" "$bench/devices/e/Ephemeris.ee"
    end=$(now_ns)
    cmp -s "$file" "$bench/devices/e/Ephemeris.ee" || { echo "curl + cp gave another file" >&2; exit 1; }
    rm -f "$bench/devices/e/Ephemeris.ee"
    curlcp[$size]+=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e6 }')$'\n'
  done
  echo "${curlcp[$size]}" | tr '\n' ' '; echo

  log "bare URLDownloadToFileW program, $size"
  bare_run[$size]="" bare_first[$size]=""
  for _ in $(seq "$runs"); do
    out=$(driver run "$(winpath "$tools/fennik_bench_download.exe")" "$url" "$(winpath "$bench/dl/bare.ee")")
    cmp -s "$file" "$bench/dl/bare.ee" || { echo "the bare download gave another file" >&2; exit 1; }
    bare_run[$size]+=$(values run_ms "$out")$'\n'
    bare_first[$size]+=$(values call_ms "$out")$'\n'
  done
  out=$(timeout 120 wine "$tools/fennik_bench_download.exe" "$url" "$(winpath "$bench/dl/bare.ee")" $((runs + 1)))
  bare_warm[$size]=$(values call_ms "$out" | tail -n +2)
  echo "start to end: $(listing "${bare_run[$size]}"); first call: $(listing "${bare_first[$size]}");" \
    "later calls: $(listing "${bare_warm[$size]}")"
done
# ---- the program's own refresh -----------------------------------------------

requests() { grep -c '"GET ' "$bench/server.log" || true; }
log "quiet refresh: requests while the data is fresh (${fresh_seconds} s), then one refresh of 4 MiB"
r0=$(requests)
sleep "$fresh_seconds"
fresh_requests=$(( $(requests) - r0 ))
# The stored download made old: the next look refreshes the file.
python3 - "$bench/app/Kelva_config.ini" <<'PY'
import re, sys
path = sys.argv[1]
text = open(path, encoding="utf-16-le").read()
open(path, "w", encoding="utf-16-le", newline="").write(re.sub(r"(\[DOWNLOAD TIME\]\r\n).{16}", r"\g<1>2000/01/01\t00:00", text))
PY
r1=$(requests)
refresh_out=$(driver responsive 20)
sleep 1
refresh_requests=$(( $(requests) - r1 ))
echo "$refresh_out"
echo "requests: ${fresh_requests} while fresh, ${refresh_requests} for the refresh"

kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""

# ---- the watchdog while the server is silent ---------------------------------

log "watchdog: ${silent_seconds} s of a server that takes the request and never answers"
python3 -c '
import socket, sys, time
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen(16)
held = []
while True:
    held.append(s.accept()[0])' "$port" >/dev/null 2>&1 </dev/null &
server_pid=$!
sleep 0.5
rm -f "$journal"
silent_out=$(driver silent "$silent_seconds")
watchdog[silent]=$(tr -d '\r' <"$journal" 2>/dev/null || true)
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""
read -r silent_cpu silent_looks silent_look_ms silent_per_look silent_lines <<<"$(watchdog_sum "${watchdog[silent]}")"
echo "$silent_out; watchdog: $silent_cpu ms CPU, $silent_looks looks in $silent_look_ms ms ($silent_per_look ms each)"
read -r big_cpu big_looks big_look_ms big_per_look big_lines <<<"$(watchdog_sum "${watchdog[4m]}")"

hwm_updated=$(status_kb "$app_pid" VmHWM)

# ---- idle --------------------------------------------------------------------

log "idle: ${idle_seconds} s with the main dialog hidden"
driver hide
sleep 2
server=$(wineserver_pid)
s0=$(cpu_snapshot)
sleep "$idle_seconds"
s1=$(cpu_snapshot)
rss_idle=$(status_kb "$app_pid" VmRSS)
idle_app=$(used_ms "$s0" "$s1" "$app_pid")
idle_server=$(used_ms "$s0" "$s1" "$server")
idle_others=$(used_ms "$s0" "$s1" "" "$app_pid $server")
echo "GpsFennik.exe ${idle_app} ms, wineserver ${idle_server} ms, other Wine processes ${idle_others} ms"
driver exit

log "idle: ${baseline_seconds} s of the prefix alone, for comparison"
sleep 2
s0=$(cpu_snapshot)
sleep "$baseline_seconds"
s1=$(cpu_snapshot)
base_server=$(used_ms "$s0" "$s1" "$server")
base_others=$(used_ms "$s0" "$s1" "" "$server")
echo "wineserver ${base_server} ms, other Wine processes ${base_others} ms"

# ---- memory of the smallest window program -----------------------------------

log "memory: the smallest window program"
wine "$tools/fennik_bench_window.exe" >/dev/null 2>&1 &
window_pid=$!
driver wait-window FennikBenchWindow
sleep 1
window_wine_pid=$(pid_of fennik_bench_window.exe)
hwm_window=$(status_kb "$window_wine_pid" VmHWM)
driver close-window FennikBenchWindow
wait "$window_pid" 2>/dev/null || true
window_pid=""

# ---- drive scan --------------------------------------------------------------

log "drive scan with 25 device drives ($scan_runs scans)"
# Z: can be a device drive only while it leads to a folder: the volume of a
# drive mapped onto / does not open. The helper runs from C: meanwhile.
map_drives "abdefghijklmnopqrstuvwxyz"
start_prefix
cp "$tools/fennik_bench_scan.exe" "$WINEPREFIX/drive_c/"
scan_out=$(cd "$WINEPREFIX/drive_c" && timeout 180 wine 'C:\fennik_bench_scan.exe' "$scan_runs") || {
  echo "$scan_out" >&2
  echo "the drive scan did not find every device drive" >&2
  exit 1
}
scan_drives=$(awk '$1 == "drives" { print $2 " (" $3 ")" }' <<<"$scan_out")
scan_values=$(values scan_ms "$scan_out")
echo "drives: $scan_drives; $(listing "$scan_values")"
map_drives "e"

load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# ---- results -----------------------------------------------------------------

cpu=$(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)
cores=$(nproc)
memory=$(awk '/^MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
wine_version=$(wine --version 2>/dev/null)
ratio() { awk -v a="$(median <<<"$1")" -v b="$(median <<<"$2")" 'BEGIN { printf "%.1f", a / b }'; }
row() {
  local size="$1" label="$2"
  printf '| %s | %s | %s | %s× | %s | %s | %s |\n' "$label" "$(fmt_stats <<<"${upd[$size]}")" \
    "$(fmt_stats <<<"${curlcp[$size]}")" "$(ratio "${upd[$size]}" "${curlcp[$size]}")" \
    "$(fmt_stats <<<"${bare_run[$size]}")" "$(fmt_stats <<<"${bare_first[$size]}")" \
    "$(fmt_stats <<<"${bare_warm[$size]}")"
}

mkdir -p docs
{
  cat <<EOF
# Benchmark results

Written by \`scripts/bench.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC'). Each run
rewrites this file. There are no thresholds; the figures only describe
this machine on that day.

**Machine:** $cpu, $cores cores, $memory memory, $wine_version.
Load average (1, 5, 15 min) at the start: $load_before; at the end: $load_after.

**Setup:** the test build (\`mingw-test\` preset: simulated devices, ephemeris
server on loopback) in \`${build#"$PWD"/}\`, run in the prefix \`build/bench/wineprefix\` inside one Wine
desktop on Xvfb. The local server is \`python3 -m http.server\` serving the
ephemeris file as \`check.asp\`. Times inside Wine come from
\`QueryPerformanceCounter\` of the helpers in \`tools/bench/\`; median (min–max)
of $runs runs unless said otherwise.

## Update latency

From the volume-arrival message of a simulated device on drive E: (sent to the
main dialog; auto-update on, no device before) until \`E:\\Ephemeris.ee\` has
the size and the bytes of the served file. Between runs the result box is
answered, the file deleted and the device unplugged.

| file | GPS Fennik: arrival → file on device | curl + cp | ratio | bare program: start → end | its download call (first in the process) | the call again in the same process |
|---|---|---|---|---|---|---|
$(row 64k "64 KiB")
$(row 4m "4 MiB")

- GPS Fennik, single runs (64 KiB): $(listing "${upd[64k]}") ms; (4 MiB): $(listing "${upd[4m]}") ms.
  The first update of the process also loads and sets up the URL libraries.
- curl + cp: \`curl\` fetching the same URL into a file, then \`cp\` of that file
  into the device's folder, timed from the shell. Ratio: GPS Fennik's median
  over curl + cp's median.
- Bare program (\`fennik_bench_download.exe\`): the same \`URLDownloadToFileW\`
  call with a do-nothing callback, no window. "Start → end" is from
  \`CreateProcessW\` to the end of the process, so it is Wine's fixed cost of a
  program that downloads once. The last column repeats the call in one
  process, the libraries already loaded.

## The download's watchdog

Each transfer runs under a watchdog thread that looks every 250 ms at what
was written (the file the network library names, and the target) to bound
the transfer. The test build journals, per transfer, the thread's CPU time
(\`GetThreadTimes\`; Wine counts it in 10 ms ticks), how often it looked, and
the time those looks took (performance counter).

| transfers | watchdog CPU time | looks | time in the looks | per look |
|---|---|---|---|---|
| the $runs updates of 4 MiB above (${big_lines} transfers) | ${big_cpu} ms | ${big_looks} | ${big_look_ms} ms | ${big_per_look} ms |
| ${silent_seconds} s of a server that takes the request and never answers ($(values silent_downloads "$silent_out") downloads, each failing at the stall limit) | ${silent_cpu} ms | ${silent_looks} | ${silent_look_ms} ms | ${silent_per_look} ms |

GPS Fennik's 4 MiB update (arrival → file on the device, which adds the copy
to the device) over the bare program's repeated call:
$(awk -v a="$(median <<<"${upd[4m]}")" -v b="$(median <<<"${bare_warm[4m]}")" 'BEGIN { printf "%.2f", a / b }')×.

## Start-up

Process start (\`CreateProcessW\`) to the tray icon, less the fixed 2 s splash:
measured to the appearance of the main dialog window, which is created right
after the tray icon is added, minus 2000 ms.

- Start-up without the splash: $(fmt_stats <<<"$startup_net") (single runs: $(listing "$startup_net") ms)
- The splash was on screen for $(fmt_stats <<<"$splash_shown").

## Idle cost

CPU time (user + system, from \`/proc/<pid>/stat\`, 10 ms ticks) over
${idle_seconds} s of idling after the updates, with the main dialog hidden and no
device:

| process | CPU time in ${idle_seconds} s |
|---|---|
| GpsFennik.exe | ${idle_app} ms |
| wineserver (of the prefix) | ${idle_server} ms |
| the prefix's other Wine processes (desktop, services) | ${idle_others} ms |

For comparison, right after GpsFennik.exe had ended, the same prefix used
${base_server} ms (wineserver) and ${base_others} ms (other Wine processes) in
${baseline_seconds} s: the wineserver's share is Wine's own (it wakes every 16 ms
whatever runs), not the program's.

The test build looks at its data's freshness every 8 s (the product every 15
minutes), so this idle time holds ${idle_seconds}000/8000 such looks more than a
product build would make.

## The program's own refresh

While the data was fresh, ${fresh_seconds} s of looks brought ${fresh_requests} requests to the
server. With the stored download made two days old, one look (after a clock
change) refreshed the 4 MiB file quietly with ${refresh_requests} request(s); during
it the main dialog answered $(values answers "$refresh_out") text queries to its status
line in $(values answer_p50_ms "$refresh_out") ms (median), $(values answer_p99_ms "$refresh_out") ms
(p99), $(values answer_max_ms "$refresh_out") ms at most.

## Memory

Peak resident size (\`VmHWM\`) of the Wine process:

| process | peak resident size |
|---|---|
| GpsFennik.exe after start-up | $(mib "$hwm_started") |
| GpsFennik.exe after all the updates above (64 KiB and 4 MiB) | $(mib "$hwm_updated") |
| smallest window program (\`fennik_bench_window.exe\`: one window, message loop) | $(mib "$hwm_window") |

GpsFennik.exe resident while idle afterwards: $(mib "$rss_idle").

## Drive scan

One \`ScanDeviceDrives\` with 25 removable drives (A, B, D to Z), each carrying the
accepted device identity, timed by \`fennik_bench_scan.exe\` over a window of its
own: $(fmt_stats <<<"$scan_values") over $scan_runs scans; drives recorded: $scan_drives.
The device identities come from the registry simulation of test builds; Z:
leads to a folder during this measurement (a drive mapped onto / has no volume
that opens).
EOF
} >"$results"

log "results (also in $results)"
sed -n '/^## Update latency/,$p' "$results"
