#!/usr/bin/env bash
# Memory and CPU of the real program doing its main job, next to FFmpeg on the same content.
#
#   bench/e2e-resources.sh [SECONDS]      (default 60; needs a default build)
#
# On a private Xvfb (1920x1080) that shows moving content (FFmpeg's testsrc2 through SDL), the
# manager stand-in connects the tray application (saved direct connection, "ALogin"), waits while
# it is idle, then streams 1920x1080 at 30 fps for SECONDS. The script samples the program's RSS
# every second and its CPU time over the stream; then it runs FFmpeg x11grab + libx264
# ultrafast/zerolatency on the same screen for the same time and compares CPU per frame.
# Targets: RSS under 120 MB and no growth over the last half; CPU-per-frame ratio at most 0.8.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bin=build/default
for f in $bin/VantrelMac/VantrelMac $bin/tools/VantrelManagerStandIn/vantrel-manager-standin; do
  [[ -x $f ]] || {
    echo "bench: build first (cmake --build --preset default)" >&2
    exit 2
  }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-bench.XXXXXX")
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "${work:?}/home"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for n in $(seq 151 180); do
  if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
    Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp -noreset >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=":$n"
    break
  fi
done
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break || sleep 0.1; done

# Moving content over the whole screen.
SDL_VIDEODRIVER=x11 ffmpeg -loglevel error -re -f lavfi -i testsrc2=size=1920x1080:rate=30 \
  -pix_fmt rgb24 -f sdl2 -window_borderless 1 "moving" >"$work/content.log" 2>&1 &
pids+=($!)

home=$work/home
mkdir -p "$home/.config/local.vantrel.VantrelMac"
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache \
  XDG_DATA_HOME=$home/.local/share XDG_STATE_HOME=$home/.local/state VANTREL_SYSTEM_ROOT=$work/system
idle=10
cat >"$work/script.json" <<EOF
[{"step": "wait", "seconds": $idle},
 {"step": "screen", "width": 1920, "height": 1080, "seconds": $seconds,
  "expectWidth": 1920, "expectHeight": 1080},
 {"step": "screenEnd"}]
EOF
$bin/tools/VantrelManagerStandIn/vantrel-manager-standin --port-file "$work/port" \
  --script "$work/script.json" --report "$work/report.json" --picture "$work/last.png" \
  --step-timeout $((seconds + idle + 30)) >"$work/manager.log" 2>&1 &
pids+=($!)
manager=$!
for _ in $(seq 1 100); do [[ -s $work/port ]] && break || sleep 0.05; done
port=$(tr -d '\n' <"$work/port")
printf '{"VantrelMac.accountLogin.accountID": "bench", "VantrelMac.accountLogin.rememberAccountID": true,
 "VantrelMac.directConnection.host": "127.0.0.1", "VantrelMac.directConnection.port": %s,
 "VantrelMac.directConnection.userID": "bench", "VantrelMac.directConnection.connectionNumber": 0}\n' \
  "$port" >"$home/.config/local.vantrel.VantrelMac/defaults.json"
$bin/VantrelMac/VantrelMac ALogin >"$work/program.log" 2>&1 &
pids+=($!)
program=$!

rss_kb() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

until grep -q "registered" "$work/manager.log"; do
  kill -0 "$manager" 2>/dev/null || {
    echo "bench: the manager ended early" >&2
    cat "$work/manager.log" >&2
    exit 1
  }
  sleep 0.2
done
sleep $((idle - 2))
idle_rss=$(rss_kb "$program")

until grep -q "step wait ok" "$work/manager.log"; do sleep 0.1; done
start_ticks=$(cpu_ticks "$program")
samples=()
# Every sample lies inside the stream (it ends a little after SECONDS from the request).
for ((s = 0; s < seconds - 2; s++)); do
  sleep 1
  samples+=("$(rss_kb "$program")")
done
end_ticks=$(cpu_ticks "$program")
wait "$manager" || true

units=$(jq '.screen.units' "$work/report.json")
latency=$(jq '.screen.requestToFirstPictureMs // "n/a"' "$work/report.json")
agent_cpu=$(awk -v t=$((end_ticks - start_ticks)) -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }')
# Growth over the last half: the peak of its second quarter against the peak of its first.
n=${#samples[@]}
half=$((n / 2))
quarter=$(((n - half) / 2))
peak() { printf '%s\n' "$@" | sort -n | tail -1; }
max_all=$(peak "${samples[@]}")
mid_rss=$(peak "${samples[@]:half:quarter}")
last_rss=$(peak "${samples[@]:half+quarter}")

# FFmpeg on the same screen for the same time.
TIMEFORMAT='%U %S'
{ time ffmpeg -hide_banner -nostdin -f x11grab -framerate 30 -video_size 1920x1080 -i "$DISPLAY" \
  -t "$seconds" -c:v libx264 -preset ultrafast -tune zerolatency -f null - >"$work/ffmpeg.log" 2>&1; } \
  2>"$work/ffmpeg.time"
ffmpeg_cpu=$(awk '{ printf "%.2f", $1 + $2 }' "$work/ffmpeg.time")
ffmpeg_frames=$(tr '\r' '\n' <"$work/ffmpeg.log" | grep -o 'frame= *[0-9]*' | tail -1 | tr -dc 0-9)

echo "== VantrelMac, 1920x1080 at 30 fps for ${seconds} s (figures from this run)"
awk -v i="$idle_rss" -v m="$max_all" -v h="$mid_rss" -v l="$last_rss" 'BEGIN {
  printf "RSS idle:                       %.1f MB\n", i / 1024
  printf "RSS streaming, peak:            %.1f MB (target < 120 MB)\n", m / 1024
  printf "RSS peak, 3rd / 4th quarter:    %.1f MB / %.1f MB (growth over the last half: %+.1f MB)\n", h / 1024, l / 1024, (l - h) / 1024 }'
awk -v c="$agent_cpu" -v u="$units" -v fc="$ffmpeg_cpu" -v ff="$ffmpeg_frames" -v s="$seconds" 'BEGIN {
  a = c / u * 1000; f = fc / ff * 1000
  printf "agent:  %d frames (%.1f fps), %.2f s CPU, %.2f ms CPU per frame\n", u, u / s, c, a
  printf "ffmpeg: %d frames (%.1f fps), %.2f s CPU, %.2f ms CPU per frame\n", ff, ff / s, fc, f
  printf "CPU per frame, agent / ffmpeg: %.2f (target <= 0.8)\n", a / f }'
echo "request to first picture:       $latency ms"
echo "report: $work/report.json   last picture: $work/last.png"
