#!/usr/bin/env bash
# Idle CPU of the real program, measured from outside over a fixed window per state.
#
#   bench/idle-cpu.sh [--cores 6,7] [--aux-cores 4,5] [--seconds 60] [--build build/default]
#                     [--program PATH] [--rounds 1]
#
# On a private Xvfb (1920x1080) with a system tray host (trayer) and the manager stand-in, the
# program is started four ways, one after the other, each for --seconds after a settling pause:
#   login, shown       plain start: the sign-in window on screen
#   login, hidden      the same after the window's close request (WM_DELETE_WINDOW): with a tray
#                      present the window is hidden, not minimised (checked: it is unmapped)
#   connected, shown   "ALogin" with a saved direct connection to the stand-in, registered
#   connected, hidden  the same, window closed to the tray
# CPU is the sum of the run time of all the program's threads (/proc/PID/task/*/schedstat, ns)
# over the window, as a percentage of one core. The program runs pinned to --cores; Xvfb, the tray
# host and the stand-in on --aux-cores. --program measures another build of the program (for a
# before/after comparison; the stand-in comes from --build). The load (uptime) is printed with the
# figures: the machine may be shared.
set -euo pipefail
cd "$(dirname "$0")/.."

cores=6,7
aux=4,5
seconds=60
bin=build/default
program_bin=""
rounds=1
while (($#)); do
  case $1 in
    --cores) cores=$2; shift 2 ;;
    --aux-cores) aux=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --build) bin=$2; shift 2 ;;
    --program) program_bin=$2; shift 2 ;;
    --rounds) rounds=$2; shift 2 ;;
    *) echo "usage: $0 [--cores L] [--aux-cores L] [--seconds N] [--build DIR] [--program PATH] [--rounds N]" >&2; exit 2 ;;
  esac
done
: "${program_bin:=$bin/VantrelMac/VantrelMac}"
standin_bin=$bin/tools/VantrelManagerStandIn/vantrel-manager-standin
for f in $program_bin $standin_bin; do
  [[ -x $f ]] || { echo "bench: $f missing (cmake --build --preset default)" >&2; exit 2; }
done
for tool in Xvfb trayer xwininfo xdpyinfo python3 taskset; do
  command -v $tool >/dev/null || { echo "bench: $tool missing (scripts/setup)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-idle.XXXXXX")
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "${work:?}"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

exec 3>"$work/display"
taskset -c "$aux" Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
pids+=($!)
exec 3>&-
for _ in $(seq 1 200); do [[ -s $work/display ]] && break || sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break || sleep 0.1; done
taskset -c "$aux" trayer --edge top --align right --widthtype pixel --width 120 --height 24 \
  >"$work/trayer.log" 2>&1 &
pids+=($!)

# The stand-in keeps the session open for the whole run.
taskset -c "$aux" "$standin_bin" --port-file "$work/port" --serve --steps '[{"step": "wait", "seconds": 100000}]' \
  --step-timeout 100000 >"$work/manager.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [[ -s $work/port ]] && break || sleep 0.05; done
port=$(tr -d '\n' <"$work/port")

# Sends the window manager's close request to a top-level window, as a title bar's close
# button would (there is no window manager on this display).
close_window() {
  python3 - "$1" <<'EOF'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]
class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
d = x.XOpenDisplay(None)
window = int(sys.argv[1], 16)
e = Event()
e.xclient.type = 33  # ClientMessage
e.xclient.window = window
e.xclient.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
e.xclient.format = 32
e.xclient.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
x.XSendEvent(d, window, 0, 0, ctypes.byref(e))
x.XFlush(d)
x.XCloseDisplay(d)
EOF
}
# The program's mapped top-level window named VantrelMac (its id), or nothing.
main_window() {
  xwininfo -root -children | awk '/"VantrelMac"/ { print $1 }' | while read -r id; do
    if xwininfo -id "$id" | grep -q "IsViewable"; then echo "$id"; break; fi
  done
}
cpu_ns() {  # every thread's run time, in nanoseconds
  cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%d", s }'
}

declare -A figures
run_state() {  # name, arguments, connected?, hide?
  local name=$1 args=$2 connected=$3 hide=$4
  local home=$work/home-$RANDOM
  mkdir -p "$home/.config/local.vantrel.VantrelMac"
  if ((connected)); then
    printf '{"VantrelMac.accountLogin.accountID": "bench", "VantrelMac.accountLogin.rememberAccountID": true,
 "VantrelMac.directConnection.host": "127.0.0.1", "VantrelMac.directConnection.port": %s,
 "VantrelMac.directConnection.userID": "bench", "VantrelMac.directConnection.connectionNumber": 0}\n' \
      "$port" >"$home/.config/local.vantrel.VantrelMac/defaults.json"
  fi
  local registered_before
  registered_before=$(grep -c "registered" "$work/manager.log" || true)
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache XDG_DATA_HOME=$home/.local/share \
    XDG_STATE_HOME=$home/.local/state XDG_RUNTIME_DIR=$home/run VANTREL_SYSTEM_ROOT=$work/system \
    taskset -c "$cores" "$program_bin" $args >"$work/program-$name.log" 2>&1 &
  local program=$!
  pids+=($program)
  local window=""
  for _ in $(seq 1 200); do window=$(main_window); [[ -n $window ]] && break || sleep 0.05; done
  [[ -n $window ]] || { echo "bench: $name: no window" >&2; exit 1; }
  if ((connected)); then
    for _ in $(seq 1 200); do
      (($(grep -c "registered" "$work/manager.log" || true) > registered_before)) && break || sleep 0.05
    done
    (($(grep -c "registered" "$work/manager.log" || true) > registered_before)) ||
      { echo "bench: $name: the program did not register" >&2; exit 1; }
  fi
  sleep 3
  if ((hide)); then
    close_window "$window"
    for _ in $(seq 1 100); do xwininfo -id "$window" | grep -q "IsUnMapped" && break || sleep 0.05; done
    xwininfo -id "$window" | grep -q "IsUnMapped" || { echo "bench: $name: the window stayed on screen" >&2; exit 1; }
  fi
  sleep 3
  local c0 c1 t0 t1
  t0=$(date +%s%N)
  c0=$(cpu_ns "$program")
  sleep "$seconds"
  c1=$(cpu_ns "$program")
  t1=$(date +%s%N)
  kill -TERM "$program"
  wait "$program" 2>/dev/null || true
  local percent
  percent=$(awk -v c=$((c1 - c0)) -v t=$((t1 - t0)) 'BEGIN { printf "%.3f", c * 100 / t }')
  figures[$name]="${figures[$name]:-}$percent "
  printf '%-18s %7s %% of a core over %s s   (%s)\n' "$name" "$percent" "$seconds" \
    "$(uptime | sed 's/.*load average/load average/')"
}

echo "== idle CPU of $program_bin, cores $cores (aux $aux), $seconds s per state"
for ((r = 1; r <= rounds; r++)); do
  run_state "login-shown" "" 0 0
  run_state "login-hidden" "" 0 1
  run_state "connected-shown" "ALogin" 1 0
  run_state "connected-hidden" "ALogin" 1 1
done
if ((rounds > 1)); then
  for name in login-shown login-hidden connected-shown connected-hidden; do
    echo "$name: ${figures[$name]}"
  done
fi
