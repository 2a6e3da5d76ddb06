#!/usr/bin/env bash
# CPU and memory of the real program streaming its screen, next to FFmpeg doing the same job and
# next to x264 alone on the same pictures (the floor: what encoding by itself costs).
#
#   bench/e2e-resources.sh [--cores 6,7] [--aux-cores 4,5] [--size 1920x1080] [--seconds 20]
#                          [--pairs 3] [--build build/default] [--scene full|partial] [--program PATH]
#                          [--displays 151-180]
#
# A private Xvfb of --size shows a desktop-like scene scrolled diagonally over the whole screen
# (the painter of bench_ScreenPipeline, ~55 pictures a second: every 30 fps tick sees a changed
# screen; with --scene partial only a piece of 6 % of the screen in its middle scrolls, the rest
# stands still). The painter raises its window again whenever another covers it: the program's
# status window, centred and mapped later, would otherwise hide the middle of the scene from our
# capture and FFmpeg's but not from the floor's. The manager stand-in connects the tray application (saved direct connection,
# "ALogin"), then for each pair asks for the screen for --seconds, ends it, and waits while FFmpeg
# and x264 run. Everything measured runs pinned to --cores; Xvfb, the painter and the stand-in run
# on --aux-cores.
#
# Matched: FFmpeg x11grab at 30 fps + libx264 ultrafast/zerolatency, yuv420p, the session's
# bitrate (ABR with a one-second VBV), keyframe interval, no scene cuts, no B-frames and the same
# threads and slices as our encoder (read from the sources, so they stay in step). Screens larger
# than 1920x1080 are scaled to it (area filter) before encoding, as the program does.
#
# Counted the same way for both: all CPU (user + system, every thread) of the whole stream, its
# start and stop included, divided by the pictures delivered in that window. Ours: from the
# request (the stand-in's "step wait ok") to the end of the stream ("step screenEnd ok", 0.3 s
# after GET_SCREEN_END), over the access units the stand-in received in that window. FFmpeg: its
# whole process (rusage), over the frames it encoded (30 × seconds).
#
# Memory: the program's RSS once it is registered and idle, and the largest reading taken every
# 0.2 s while a stream runs (a stream's buffers are handed back as soon as it ends).
#
# Floor: 240 pictures of the same scene are grabbed once (ffmpeg x11grab → yuv420p at the
# encoded size, in a file); each pair then times the x264 command-line encoder on them with the
# same settings and threading (rusage, unpaced, page cache).
#
# Ours and FFmpeg alternate: odd pairs run ours first, even pairs FFmpeg first. Each pair prints
# its ratios; the medians follow. The machine's load (uptime) is printed with the figures.
set -euo pipefail
cd "$(dirname "$0")/.."

cores=6,7
aux=4,5
size=1920x1080
seconds=20
pairs=3
bin=build/default
scene=full
program_bin=""
displays=151-180
while (($#)); do
  case $1 in
    --cores) cores=$2; shift 2 ;;
    --aux-cores) aux=$2; shift 2 ;;
    --size) size=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --pairs) pairs=$2; shift 2 ;;
    --build) bin=$2; shift 2 ;;
    --scene) scene=$2; shift 2 ;;
    --program) program_bin=$2; shift 2 ;;  # another build of the program (before/after)
    --displays) displays=$2; shift 2 ;;  # the X display numbers the private Xvfb may take
    [0-9]*) seconds=$1; shift ;;  # the old form: bench/e2e-resources.sh SECONDS
    *) echo "usage: $0 [--cores L] [--aux-cores L] [--size WxH] [--seconds N] [--pairs N] [--build DIR] [--scene full|partial] [--program PATH] [--displays FIRST-LAST]" >&2; exit 2 ;;
  esac
done
((pairs >= 3)) || { echo "bench: at least three pairs" >&2; exit 2; }
: "${program_bin:=$bin/VantrelMac/VantrelMac}"
standin_bin=$bin/tools/VantrelManagerStandIn/vantrel-manager-standin
painter_bin=$bin/bench/bench_ScreenPipeline
for f in $program_bin $standin_bin $painter_bin; do
  [[ -x $f ]] || { echo "bench: $f missing (cmake --build --preset default)" >&2; exit 2; }
done
for tool in Xvfb ffmpeg x264 jq taskset xdpyinfo; do
  command -v $tool >/dev/null || { echo "bench: $tool missing (scripts/setup)" >&2; exit 2; }
done

# The encoder's settings, from the sources.
threads=$(sed -n 's/^ *p\.i_threads = \([0-9]*\);.*/\1/p' Platform/Screen/X264Encoder.cpp)
slices=$(sed -n 's/^ *p\.i_slice_count = \([0-9]*\);.*/\1/p' Platform/Screen/X264Encoder.cpp)
sliced=$(sed -n 's/^ *p\.b_sliced_threads = \([0-9]*\);.*/\1/p' Platform/Screen/X264Encoder.cpp)
bitrate=$(sed -n "s/.*averageBitrate = \([0-9']*\);.*/\1/p" VantrelMacCore/Session/SessionScreenStream.hpp | tr -d "'")
keyint=$(sed -n 's/.*keyframeInterval = \([0-9]*\);.*/\1/p' VantrelMacCore/Session/SessionScreenStream.hpp)
: "${threads:=1}" "${slices:=0}" "${sliced:=0}"
[[ -n $bitrate && -n $keyint ]] || { echo "bench: cannot read the session's bitrate and keyframe interval" >&2; exit 2; }
kbps=$((bitrate / 1000))

width=${size%x*}
height=${size#*x}
# The program never sends more than 1920x1080: the screen is fitted into it (even sides).
read -r out_w out_h < <(awk -v w="$width" -v h="$height" 'BEGIN {
  s = 1; if (w > 1920 || h > 1080) { s = 1920 / w; if (1080 / h < s) s = 1080 / h }
  tw = int(w * s); th = int(h * s); tw -= tw % 2; th -= th % 2; print tw, th }')
scale_args=()
if ((out_w != width || out_h != height)); then scale_args=(-vf "scale=$out_w:$out_h:flags=area"); fi

x264_common=(--preset ultrafast --tune zerolatency --bitrate "$kbps" --vbv-maxrate "$kbps"
  --vbv-bufsize "$kbps" --keyint "$keyint" --min-keyint 1 --scenecut 0 --bframes 0)
ffmpeg_x264_params="scenecut=0"
ffmpeg_threads=(-threads "$threads")
if ((sliced)); then
  x264_common+=(--threads "$threads" --sliced-threads --slices "$slices")
  ffmpeg_x264_params+=":sliced-threads=1:slices=$slices"
else
  x264_common+=(--threads "$threads")
  ffmpeg_x264_params+=":sliced-threads=0"
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vantrel-bench.XXXXXX")
pids=()
cleanup() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill -TERM "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "${work:?}/home" "$work/raw.yuv"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Only a display of the given range: never one that is already there (another's, or the caller's).
unset DISPLAY
for n in $(seq "${displays%-*}" "${displays#*-}"); do
  if [[ ! -e /tmp/.X11-unix/X$n && ! -e /tmp/.X$n-lock ]]; then
    taskset -c "$aux" Xvfb ":$n" -screen 0 "${size}x24" -nolisten tcp -noreset >/dev/null 2>&1 &
    pids+=($!)
    export DISPLAY=":$n"
    break
  fi
done
[[ -n ${DISPLAY:-} ]] || { echo "bench: no free X display in $displays" >&2; exit 1; }
for _ in $(seq 1 100); do xdpyinfo >/dev/null 2>&1 && break || sleep 0.1; done
xdpyinfo >/dev/null 2>&1 || { echo "bench: the X server on $DISPLAY did not start" >&2; exit 1; }

# The painter keeps off the cores it is given: every core but the auxiliary ones, so that it is
# neither measured nor starved by other work on the machine.
avoid=$(seq 0 $(($(nproc --all) - 1)) | grep -vxF -f <(tr ',' '\n' <<<"$aux") | paste -sd, -)
$painter_bin --paint "$DISPLAY" "$avoid" "$scene" >/dev/null 2>&1 &
pids+=($!)
sleep 1

# The floor's pictures: grabbed once, at the encoded size.
frames_raw=240
taskset -c "$aux" ffmpeg -nostdin -loglevel error -f x11grab -framerate 30 -video_size "$size" -i "$DISPLAY" \
  -frames:v $frames_raw "${scale_args[@]}" -pix_fmt yuv420p -f rawvideo -y "$work/raw.yuv"

home=$work/home
mkdir -p "$home/.config/local.vantrel.VantrelMac"
mkdir -m 700 "$home/run"
# A runtime folder of its own: the program's single-instance socket lives there, and another
# instance on the machine must not take this one's launch.
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/run \
  XDG_DATA_HOME=$home/.local/share XDG_STATE_HOME=$home/.local/state VANTREL_SYSTEM_ROOT=$work/system
slot=$((seconds * 2 + 15))  # the stand-in's pause while FFmpeg and x264 run
{
  echo '[{"step": "wait", "seconds": 5}'
  for ((p = 1; p <= pairs; p++)); do
    echo ",{\"step\": \"screen\", \"width\": $out_w, \"height\": $out_h, \"seconds\": $seconds,"
    echo "  \"expectWidth\": $out_w, \"expectHeight\": $out_h}, {\"step\": \"screenEnd\"}"
    ((p < pairs)) && echo ",{\"step\": \"wait\", \"seconds\": $slot}"
  done
  echo ']'
} >"$work/script.json"
taskset -c "$aux" "$standin_bin" --port-file "$work/port" --script "$work/script.json" \
  --report "$work/report.json" --step-timeout $((slot + 60)) >"$work/manager.log" 2>&1 &
pids+=($!)
manager=$!
for _ in $(seq 1 100); do [[ -s $work/port ]] && break || sleep 0.05; done
port=$(tr -d '\n' <"$work/port")
printf '{"VantrelMac.accountLogin.accountID": "bench", "VantrelMac.accountLogin.rememberAccountID": true,
 "VantrelMac.directConnection.host": "127.0.0.1", "VantrelMac.directConnection.port": %s,
 "VantrelMac.directConnection.userID": "bench", "VantrelMac.directConnection.connectionNumber": 0}\n' \
  "$port" >"$home/.config/local.vantrel.VantrelMac/defaults.json"
taskset -c "$cores" "$program_bin" ALogin >"$work/program.log" 2>&1 &
pids+=($!)
program=$!

cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat"; }
rss_mb() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' "/proc/$1/status"; }
# Waits until the stand-in has logged its COUNT-th line matching PATTERN.
wait_step() {
  until (($(grep -c "$1" "$work/manager.log" || true) >= $2)); do
    kill -0 "$manager" 2>/dev/null || { echo "bench: the stand-in ended early" >&2; cat "$work/manager.log" >&2; exit 1; }
    sleep 0.02
  done
}
units_after_step() { jq "[.steps[] | select(.step == \"$1\")][$2 - 1].unitsSoFar" "$work/report.json"; }
run_ffmpeg() {
  TIMEFORMAT='%U %S %R'
  { time taskset -c "$cores" ffmpeg -nostdin -loglevel error -f x11grab -framerate 30 -video_size "$size" \
    -i "$DISPLAY" -frames:v $((30 * seconds)) "${scale_args[@]}" -c:v libx264 -preset ultrafast \
    -tune zerolatency -pix_fmt yuv420p "${ffmpeg_threads[@]}" -b:v "$bitrate" -maxrate "$bitrate" \
    -bufsize "$bitrate" -g "$keyint" -keyint_min 1 -sc_threshold 0 -bf 0 -x264-params "$ffmpeg_x264_params" \
    -f h264 -y /dev/null >"$work/ffmpeg.log" 2>&1; } 2>"$work/ffmpeg.time"
  awk '{ printf "%.3f %.3f\n", $1 + $2, $3 }' "$work/ffmpeg.time"  # CPU and wall seconds
}
run_x264() {
  TIMEFORMAT='%U %S'
  { time taskset -c "$cores" x264 --quiet "${x264_common[@]}" --input-res "${out_w}x${out_h}" --fps 30 \
    --demuxer raw --input-csp i420 -o /dev/null "$work/raw.yuv" >"$work/x264.log" 2>&1; } 2>"$work/x264.time"
  awk '{ printf "%.3f", $1 + $2 }' "$work/x264.time"
}

until grep -q "registered" "$work/manager.log"; do
  kill -0 "$manager" 2>/dev/null || { echo "bench: the stand-in ended early" >&2; cat "$work/manager.log" >&2; exit 1; }
  sleep 0.1
done
sleep 3
idle_rss=$(rss_mb "$program")
peak_rss=$idle_rss

echo "== ${size} → ${out_w}x${out_h} at 30 fps, $scene scene, ${seconds} s per stream, $pairs pairs, cores $cores (aux $aux)"
echo "   program: $program_bin"
echo "   encoder: ${kbps} kbit/s ABR, VBV 1 s, keyframe interval $keyint, threads $threads, sliced $sliced, slices $slices"
echo "   load at start: $(uptime | sed 's/.*load average/load average/')"
# Per picture: CPU ms per delivered picture. Per second: share of one core over the stream's
# window (the same content for the same time; FFmpeg encodes every tick, repeated pictures too,
# while ours sends only changed ones, so when the scene changes less than 30 times a second the
# per-picture figure favours FFmpeg and this one is the fairer).
printf '%-5s %8s %6s %9s %8s %8s %8s %8s %9s %8s\n' pair "ours ms" fps "ffmpeg ms" "x264 ms" "ours/ff" "ours/x264" "ours %" "ffmpeg %" "ratio/s"
results=()
for ((p = 1; p <= pairs; p++)); do
  ffmpeg_first=$((p % 2 == 0))
  if ((ffmpeg_first)); then
    # The stand-in waits (its slot) before this pair's stream: FFmpeg runs now.
    wait_step "step screenEnd ok" $((p - 1))
    read -r ff_cpu ff_wall < <(run_ffmpeg)
    if (($(grep -c "step wait ok" "$work/manager.log" || true) >= p)); then
      echo "bench: FFmpeg of pair $p overran the pause (machine too loaded?); figures void" >&2
      exit 1
    fi
  fi
  wait_step "step wait ok" "$p"
  c0=$(cpu_seconds "$program")
  w0=$(date +%s.%N)
  # The memory the stream holds, read while it runs: the stand-in logs "step screen ok" just
  # before it ends the stream, so a reading counts only if that line was not there yet after it.
  while :; do
    kill -0 "$program" 2>/dev/null || { echo "bench: the program ended early" >&2; cat "$work/program.log" >&2; exit 1; }
    r=$(rss_mb "$program")
    (($(grep -c "step screen ok" "$work/manager.log" || true) >= p)) && break
    peak_rss=$(awk -v a="$peak_rss" -v b="$r" 'BEGIN { print (b > a) ? b : a }')
    kill -0 "$manager" 2>/dev/null || { echo "bench: the stand-in ended early" >&2; cat "$work/manager.log" >&2; exit 1; }
    sleep 0.2
  done
  wait_step "step screenEnd ok" "$p"
  c1=$(cpu_seconds "$program")
  w1=$(date +%s.%N)
  u1=$(units_after_step screenEnd "$p")
  u0=$(units_after_step wait "$p")
  units=$((u1 - u0))
  if ((!ffmpeg_first)); then read -r ff_cpu ff_wall < <(run_ffmpeg); fi
  x_cpu=$(run_x264)
  # The peers must have run inside the stand-in's pause, never beside our next stream.
  if ((p < pairs)) && (($(grep -c "step wait ok" "$work/manager.log" || true) > p)); then
    echo "bench: pair $p's peers overran the pause (machine too loaded?); figures void" >&2
    exit 1
  fi
  line=$(awk -v a0="$c0" -v a1="$c1" -v w0="$w0" -v w1="$w1" -v u="$units" -v f="$ff_cpu" -v fw="$ff_wall" \
    -v fn=$((30 * seconds)) -v x="$x_cpu" -v xn=$frames_raw 'BEGIN {
      o = (a1 - a0) * 1000 / u; ff = f * 1000 / fn; xx = x * 1000 / xn
      op = (a1 - a0) * 100 / (w1 - w0); fp = f * 100 / fw
      printf "%.3f %.1f %.3f %.3f %.3f %.3f %.1f %.1f %.3f", o, u / (w1 - w0), ff, xx, o / ff, o / xx, op, fp, op / fp }')
  results+=("$line")
  read -r o fps ff xx rf rx op fp rs <<<"$line"
  printf '%-5s %8s %6s %9s %8s %8s %8s %8s %9s %8s%s\n' "$p" "$o" "$fps" "$ff" "$xx" "$rf" "$rx" "$op" "$fp" "$rs" \
    "$( ((ffmpeg_first)) && echo "  (FFmpeg first)")"
done
wait "$manager" || true

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
col() { printf '%s\n' "${results[@]}" | awk -v c="$1" '{ print $c }' | median; }
printf '%-5s %8s %6s %9s %8s %8s %8s %8s %9s %8s\n' median "$(col 1)" "$(col 2)" "$(col 3)" "$(col 4)" "$(col 5)" \
  "$(col 6)" "$(col 7)" "$(col 8)" "$(col 9)"
echo "CPU per picture, ours / FFmpeg matched: median $(col 5) (pairs: $(printf '%s\n' "${results[@]}" | awk '{ printf "%s ", $5 }'))"
echo "CPU per picture, ours / x264 alone:     median $(col 6) (pairs: $(printf '%s\n' "${results[@]}" | awk '{ printf "%s ", $6 }'))"
echo "CPU per second,  ours / FFmpeg matched: median $(col 9) (pairs: $(printf '%s\n' "${results[@]}" | awk '{ printf "%s ", $9 }'))"
echo "RSS idle ${idle_rss} MB, while streaming at most ${peak_rss} MB"
echo "load at end: $(uptime | sed 's/.*load average/load average/')"
echo "report: $work/report.json   program log: $work/program.log"
