#!/usr/bin/env bash
# Start-up and idle cost: the time from start until the main window is mapped, the resident memory
# and the processor time of the idle program, for Trelvik and for a bare Qt window side by side.
# Runs five starts of each under a private Xvfb and a private PulseAudio with a null sink.
#
#   bench/startup.sh [BUILD_DIR]     (default: build)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
trelvik="$build/bin/trelvik"
bare="$build/bench/bare_window"
[ -x "$trelvik" ] && [ -x "$bare" ] || { echo "startup.sh: build trelvik and bare_window first"; exit 1; }

work="$(mktemp -d /tmp/trelvik-bench.XXXXXX)"
chmod 700 "$work"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

display=
for n in $(seq 150 190); do
    [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ] && { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY="$display" XDG_RUNTIME_DIR="$work" PULSE_SERVER="unix:$work/pulse/native"
pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=bench_sink" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && pactl info >/dev/null 2>&1 && break; sleep 0.1; done
xdpyinfo >/dev/null 2>&1 && pactl info >/dev/null 2>&1 || { echo "startup.sh: Xvfb or PulseAudio did not start"; exit 1; }
pactl set-default-source bench_sink.monitor

mkdir -p "$work/home"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/home/take.wav" >"$work/home/Config.ini"

# Seconds from start until a visible window with the title appears (polled every 20 ms).
measure() { # title command...
    local title="$1"
    shift
    local start end pid
    start="$(date +%s.%N)"
    "$@" >/dev/null 2>"$work/stderr.log" &
    pid=$!
    local tries=0
    until xdotool search --onlyvisible --name "^$title\$" >/dev/null 2>&1; do
        tries=$((tries + 1))
        [ "$tries" -lt 500 ] && kill -0 "$pid" 2>/dev/null || { echo "startup.sh: no window \"$title\" from $1:" >&2; cat "$work/stderr.log" >&2; exit 1; }
        sleep 0.02
    done
    end="$(date +%s.%N)"
    sleep 3 # settle, then idle for 10 s
    local rss ticks0 ticks1
    rss="$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")"
    ticks0="$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"
    sleep 10
    ticks1="$(awk '{ print $14 + $15 }' "/proc/$pid/stat")"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') $rss $((ticks1 - ticks0))"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

hz="$(getconf CLK_TCK)"
for name in trelvik bare; do
    : >"$work/$name.txt"
done
for run in 1 2 3 4 5; do
    measure Trelvik "$trelvik" --home "$work/home" >>"$work/trelvik.txt"
    measure "Bare Qt window" "$bare" >>"$work/bare.txt"
done
report() { # name file
    local show rss cpu
    show="$(awk '{ print $1 }' "$2" | median)"
    rss="$(awk '{ print $2 }' "$2" | median)"
    cpu="$(awk '{ s += $3 } END { print s }' "$2")"
    printf '%-16s window shown after %s s (median of 5), idle RSS %s MiB, idle CPU %s s over 50 s\n' \
        "$1" "$show" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" \
        "$(awk -v t="$cpu" -v hz="$hz" 'BEGIN { printf "%.2f", t / hz }')"
}
report Trelvik "$work/trelvik.txt"
report "bare Qt window" "$work/bare.txt"
echo "Targets: window within 0.3 s, idle under 60 MiB resident, no processor time while idle."
