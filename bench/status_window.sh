#!/usr/bin/env bash
# Whole-process bench of the status window on a private 1280x1024 X server:
#   start-to-shown: process start to the status window shown (median of 7 runs), both over a
#                   still scene and over the real status model (the program's interactive mode);
#   idle CPU:       share of one core used while the window is hidden (real model: polls running).
# Usage: bench/status_window.sh [build folder] [idle seconds]
set -euo pipefail
build=${1:-build/default}
idle=${2:-30}
tool="$build/tools/VantrelMacWindowShots/VantrelMacWindowShots"
[[ -x "$tool" ]] || { echo "build VantrelMacWindowShots first" >&2; exit 1; }

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 100); do [[ -s "$work/display" ]] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
# Everything the program writes stays in the bench's own folder.
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run"
mkdir -p "$HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
for mode in --bench-start --bench-start-real; do
  for _ in $(seq 1 7); do "$tool" "$mode" 2>/dev/null | awk '/start-to-shown-ms/ {print $2}'; done |
    median | xargs printf "%-20s start-to-shown median %s ms\n" "$mode"
done
"$tool" --idle "$idle" 2>/dev/null | sed 's/^/still scene:  /'
"$tool" --idle-real "$idle" 2>/dev/null | sed 's/^/real model:   /'
