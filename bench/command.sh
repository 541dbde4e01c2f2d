#!/usr/bin/env bash
# How fast "trelvik --command record" starts a take: 20 times, the wall time of the command (it
# returns once the running program has started the take), and the median, against the wall time of
# a bare "dbus-send" call to the same program for scale. Runs the program offscreen with a private
# session bus, in the tests' world (a private PulseAudio with a null sink).
#
#   bench/command.sh [BUILD_DIR]     (default: build)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
trelvik="$build/bin/trelvik"
[ -x "$trelvik" ] || { echo "command.sh: build trelvik first"; exit 1; }

# The tests' world (tools/test_env.sh), or the one it is run in, with a session bus of its own.
. "$top/tools/test_env.sh"
trelvik_bench_begin bench
trelvik_env_enter pulseaudio || { echo "command.sh: the test world did not start"; exit 1; }
export QT_QPA_PLATFORM=offscreen
bus="$(trelvik_private_bus)"
export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
pids+=("$(sed -n 2p <<<"$bus")")

mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
"$trelvik" --home "$work/home" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ "$("$trelvik" --command status 2>/dev/null)" = idle ] && break; sleep 0.1; done

seconds() { # command...
    local start end
    start="$(date +%s.%N)"
    "$@" >/dev/null
    end="$(date +%s.%N)"
    awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f\n", e - s }'
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

: >"$work/record.txt"
: >"$work/bare.txt"
for _ in $(seq 20); do
    seconds "$trelvik" --command record >>"$work/record.txt"
    [ "$("$trelvik" --command status)" = recording ] || { echo "command.sh: record did not start a take"; exit 1; }
    "$trelvik" --command stop
    seconds dbus-send --session --print-reply --dest=org.trelvik.Trelvik /org/trelvik/Trelvik \
        org.trelvik.Trelvik.Status >>"$work/bare.txt"
done
echo "trelvik --command record   median $(median <"$work/record.txt") s of 20 (the take started when it returns)"
echo "dbus-send Status           median $(median <"$work/bare.txt") s of 20"
echo "takes saved                $(ls "$work/rec" | grep -c '\.wav$')"
