#!/usr/bin/env bash
# The real program streaming its screen to a manager behind a slow link: a scene scrolls for
# --scroll seconds, then the screen stands still for --still seconds. The manager stand-in reads
# the agent at --rate bytes a second through a --receive-buffer receive buffer (--rate 0: as fast
# as loopback carries it), decodes every picture and logs it.
#
#   bench/slow-link.sh [--program PATH]... [--runs N] [--rate BYTES_PER_SECOND] [--receive-buffer B]
#                      [--scroll S] [--still S] [--cores 6,7] [--aux-cores 4,5] [--build DIR]
#                      [--displays 150-169]
#
# Every --program (default: the build's) runs --runs times, the programs taking turns. Per run:
# pictures a second that reached the manager while the scene scrolled, keyframes (and per minute,
# from the scroll's start to the end of the still time), screen bytes, the delay from a painted
# picture to the first decoded picture that shows it or a later one (p50, p90, max, and for the
# last painted picture), and the luma PSNR of the manager's last picture against the still screen.
# The program runs pinned to --cores; Xvfb, the painter and the stand-in to --aux-cores.
set -euo pipefail
cd "$(dirname "$0")/.."

programs=()
runs=3
rate=250000
receive_buffer=65536
scroll=8
still=20
cores=6,7
aux=4,5
bin=build/default
displays=150-169
while (($#)); do
  case $1 in
    --program) programs+=("$2"); shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --receive-buffer) receive_buffer=$2; shift 2 ;;
    --scroll) scroll=$2; shift 2 ;;
    --still) still=$2; shift 2 ;;
    --cores) cores=$2; shift 2 ;;
    --aux-cores) aux=$2; shift 2 ;;
    --build) bin=$2; shift 2 ;;
    --displays) displays=$2; shift 2 ;;
    *) echo "usage: $0 [--program PATH]... [--runs N] [--rate B/s] [--receive-buffer B] [--scroll S] [--still S] [--cores L] [--aux-cores L] [--build DIR] [--displays FIRST-LAST]" >&2; exit 2 ;;
  esac
done
((${#programs[@]})) || programs=("$bin/VantrelMac/VantrelMac")
standin_bin=$bin/tools/VantrelManagerStandIn/vantrel-manager-standin
tool_bin=$bin/bench/bench_SlowLink
for f in "${programs[@]}" $standin_bin $tool_bin; do
  [[ -x $f ]] || { echo "bench: $f missing (cmake --build --preset default)" >&2; exit 2; }
done
for tool in Xvfb jq taskset xdpyinfo; do
  command -v $tool >/dev/null || { echo "bench: $tool missing (scripts/setup)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-slowlink.XXXXXX")
pids=()
stop_all() {
  local i pid
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "${work:?}/home"' EXIT
trap 'exit 130' INT TERM

unset DISPLAY
for n in $(seq "${displays%-*}" "${displays#*-}"); do
  if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
    taskset -c "$aux" Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    xvfb=$!
    export DISPLAY=":$n"
    break
  fi
done
[[ -n ${DISPLAY:-} ]] || { echo "bench: no free X display in $displays" >&2; exit 1; }
trap 'stop_all; kill -TERM $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "${work:?}/home"' EXIT
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break || sleep 0.1; done

wait_line() {  # FILE PATTERN PID: until FILE has a line matching PATTERN, while PID lives
  until grep -q "$2" "$1" 2>/dev/null; do
    kill -0 "$3" 2>/dev/null || { echo "bench: a peer ended early ($1)" >&2; cat "$1" >&2; exit 1; }
    sleep 0.02
  done
}

one_run() {  # PROGRAM TAG
  local program=$1 tag=$2 dir=$work/$2
  mkdir -p "$dir"
  local home=$work/home
  rm -rf "$home"
  mkdir -p "$home/.config/local.vantrel.VantrelMac"
  mkdir -m 700 "$home/run"
  taskset -c "$aux" "$tool_bin" --paint "$DISPLAY" "$scroll" "$dir/paint.log" >"$dir/painter.out" 2>&1 &
  local painter=$!
  pids+=($painter)
  wait_line "$dir/painter.out" "painter ready" $painter
  local rate_args=()
  ((rate > 0)) && rate_args=(--read-rate "$rate" --receive-buffer "$receive_buffer")
  cat >"$dir/script.json" <<EOF
[{"step": "screen", "width": 1920, "height": 1080, "seconds": 1},
 {"step": "waitForFile", "path": "$dir/still", "timeout": $((scroll + still + 60))},
 {"step": "matchScreen", "path": "$dir/screen.pgm", "minPSNR": 0, "timeout": 5}]
EOF
  taskset -c "$aux" "$standin_bin" --port-file "$dir/port" --script "$dir/script.json" --report "$dir/report.json" \
    --stream-log "$dir/stream.log" --step-timeout 30 "${rate_args[@]}" >"$dir/manager.log" 2>&1 &
  local manager=$!
  pids+=($manager)
  for _ in $(seq 1 100); do [[ -s $dir/port ]] && break || sleep 0.05; done
  printf '{"VantrelMac.accountLogin.accountID": "bench", "VantrelMac.accountLogin.rememberAccountID": true,
 "VantrelMac.directConnection.host": "127.0.0.1", "VantrelMac.directConnection.port": %s,
 "VantrelMac.directConnection.userID": "bench", "VantrelMac.directConnection.connectionNumber": 0}\n' \
    "$(tr -d '\n' <"$dir/port")" >"$home/.config/local.vantrel.VantrelMac/defaults.json"
  HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/run \
    XDG_DATA_HOME=$home/.local/share XDG_STATE_HOME=$home/.local/state VANTREL_SYSTEM_ROOT=$work/system \
    taskset -c "$cores" "$program" ALogin >"$dir/program.log" 2>&1 &
  pids+=($!)
  wait_line "$dir/manager.log" "step screen ok" $manager
  kill -USR1 $painter
  wait_line "$dir/painter.out" "painter still" $painter
  sleep "$still"
  "$tool_bin" --screen-luma "$DISPLAY" "$dir/screen.pgm.tmp" && mv "$dir/screen.pgm.tmp" "$dir/screen.pgm"
  touch "$dir/still"
  wait_line "$dir/manager.log" "script done" $manager
  local psnr
  psnr=$(jq '[.steps[] | select(.step == "matchScreen")][0].psnr' "$dir/report.json")
  stop_all
  printf '%-8s %s  last picture Y-PSNR %.2f dB\n' "$tag" "$("$tool_bin" --figures "$dir/paint.log" "$dir/stream.log")" "$psnr"
}

echo "== scroll ${scroll} s, still ${still} s, read rate $([[ $rate -gt 0 ]] && echo "$rate B/s through a $receive_buffer B buffer" || echo unlimited), cores $cores (aux $aux), $DISPLAY"
echo "   load at start: $(uptime | sed 's/.*load average/load average/')"
for ((r = 1; r <= runs; r++)); do
  for ((i = 0; i < ${#programs[@]}; i++)); do
    # The programs take turns; every other round the other one goes first.
    j=$(((r % 2) ? i : ${#programs[@]} - 1 - i))
    one_run "${programs[j]}" "p$((j + 1))-r$r"
  done
done
for ((i = 0; i < ${#programs[@]}; i++)); do echo "p$((i + 1)): ${programs[i]}"; done
echo "   load at end: $(uptime | sed 's/.*load average/load average/')"
echo "logs: $work"
