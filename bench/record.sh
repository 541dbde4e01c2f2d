#!/usr/bin/env bash
# Recording cost against parecord: records 60 s at 44100 Hz, 16 bits, stereo from a null sink's
# monitor with the program's capture component (bench/record_driver) and with
# `parecord --latency-msec=50` at the same time, while a signal plays into the sink. Prints CPU
# seconds per recorded minute for both and their ratio, the driver's peak and checkpoint memory,
# and how long stopping takes after 10 s and after 60 s.
#
#   bench/record.sh [BUILD_DIR]     (default: build-audio, then build)
# Uses the server in PULSE_SERVER when BENCH_USE_SERVER=1 and its sink in BENCH_SINK; otherwise
# starts a private PulseAudio with a null sink and stops it again.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-}"
if [ -z "$build" ]; then
    for candidate in "$top/build-audio" "$top/build"; do
        [ -x "$candidate/bench/record_driver" ] && { build="$candidate"; break; }
    done
fi
driver="$build/bench/record_driver"
[ -x "$driver" ] || { echo "record.sh: build bench/record_driver first (cmake --build <dir> --target record_driver)"; exit 1; }

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

if [ "${BENCH_USE_SERVER:-0}" = 1 ]; then
    sink="${BENCH_SINK:?set BENCH_SINK to a sink of that server}"
else
    export XDG_RUNTIME_DIR="$work"
    export PULSE_SERVER="unix:$work/pulse/native"
    sink=bench_sink
    pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no \
        --load=module-native-protocol-unix \
        --load="module-null-sink sink_name=$sink rate=44100 format=s16le channels=2" >"$work/pulse.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null 2>&1 || { echo "record.sh: PulseAudio did not start"; cat "$work/pulse.log"; exit 1; }
fi
pactl set-default-source "$sink.monitor"

# A signal for the whole run: pink noise at a moderate level.
sox -n -r 44100 -c 2 -b 16 "$work/signal.wav" synth 80 pinknoise vol 0.3
paplay --device="$sink" "$work/signal.wav" &
pids+=($!)
sleep 1

# parecord with the same fragment size, in the same run.
parecord --latency-msec=50 --device="$sink.monitor" --rate=44100 --channels=2 --format=s16le \
    --file-format=wav "$work/parecord.wav" &
parecord_pid=$!
pids+=($parecord_pid)

"$driver" 60 "$work/long.wav" >"$work/long.txt"
# parecord's CPU time, read before it is stopped (clock ticks of user + system time).
ticks=$(getconf CLK_TCK)
read -r -a stat < "/proc/$parecord_pid/stat"
parecord_cpu=$(awk -v u="${stat[13]}" -v s="${stat[14]}" -v t="$ticks" 'BEGIN { printf "%.3f", (u + s) / t }')
kill -INT "$parecord_pid"; wait "$parecord_pid" 2>/dev/null || true

"$driver" 10 "$work/short.txt.wav" >"$work/short.txt"

value() { grep "^$1=" "$2" | cut -d= -f2; }
driver_cpu=$(value cpu_s "$work/long.txt")
echo "recorded                 60 s, 44100 Hz, 16 bits, stereo, from $sink.monitor"
echo "driver CPU per minute    ${driver_cpu} s"
echo "parecord CPU per minute  ${parecord_cpu} s   (--latency-msec=50)"
if awk -v p="$parecord_cpu" 'BEGIN { exit !(p > 0) }'; then
    echo "CPU ratio                $(awk -v d="$driver_cpu" -v p="$parecord_cpu" 'BEGIN { printf "%.2f", d / p }')"
else
    echo "CPU ratio                n/a (parecord used less than one clock tick)"
fi
echo "driver peak RSS          $(value peak_rss_kb "$work/long.txt") KiB"
echo "driver RSS after 10 s    $(value rss_kb_at_10s "$work/long.txt") KiB"
echo "driver RSS after 60 s    $(value rss_kb_at_60s "$work/long.txt") KiB"
echo "op 0 after 10 s          $(value stop_ms "$work/short.txt") ms"
echo "op 0 after 60 s          $(value stop_ms "$work/long.txt") ms"
echo "frames recorded (60 s)   $(value frames "$work/long.txt")"
