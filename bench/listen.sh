#!/usr/bin/env bash
# The cost of listening while idle: the processor time of the idle program, and of the sound server,
# while sound plays into the sink whose monitor it records from, with "Keep the seconds before Record"
# off, at 5 s and at 30 s, and at 5 s armed for sound, each on screen (the meter running) and
# minimised. Processor time counts all the program's threads (/proc/PID/stat).
#
#   bench/listen.sh [BUILD_DIR] [pulseaudio|pipewire]     (defaults: build, pulseaudio)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
server_kind="${2:-pulseaudio}"
trelvik="$build/bin/trelvik"
[ -x "$trelvik" ] || { echo "listen.sh: build trelvik first"; exit 1; }
iconify="$build/tests/bin/xiconify"

. "$top/tools/test_env.sh"
trelvik_bench_begin listen
trelvik_env_enter "$server_kind" own || { echo "listen.sh: Xvfb or $server_kind did not start"; exit 1; }
server="$(trelvik_env_sound_server_pid)"
sink="$TRELVIK_TEST_SINK"
unset QT_QPA_PLATFORM
# Commands reach the program over a session bus of the bench's own.
bus="$(trelvik_private_bus)" || { echo "listen.sh: no session bus"; exit 1; }
export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
pids+=("$(sed -n 2p <<<"$bus")")

sox -n -r 44100 -c 2 -b 16 "$work/sound.wav" synth 200 pinknoise vol 0.3
paplay --device="$sink" "$work/sound.wav" &
pids+=($!)
trelvik_env_until trelvik_env_hears_sound || { echo "listen.sh: the sound does not play" >&2; exit 1; }

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Clock ticks the program and the server use in 20 s: "program server".
idle_ticks() { # pid
    local p0 s0
    p0="$(ticks "$1")"
    s0="$(ticks "$server")"
    sleep 20
    echo "$(($(ticks "$1") - p0)) $(($(ticks "$server") - s0))"
}
hz="$(getconf CLK_TCK)"
share() { awk -v t="$1" -v hz="$hz" 'BEGIN { printf "%.2f %% of a core", 100 * t / hz / 20 }'; }

measure() { # label config-lines [arm]
    mkdir -p "$work/home"
    printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s\n%s\n' \
        "$work/home/take.wav" "$2" >"$work/home/Config.ini"
    "$trelvik" --home "$work/home" >/dev/null 2>"$work/stderr.log" &
    local pid=$! window="" tries=0
    until window="$(xdotool search --onlyvisible --name '^Trelvik$' 2>/dev/null | head -n 1)" && [ -n "$window" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 500 ] && kill -0 "$pid" 2>/dev/null || { echo "listen.sh: no window:" >&2; cat "$work/stderr.log" >&2; exit 1; }
        sleep 0.02
    done
    [ -n "${3:-}" ] && "$trelvik" --command arm
    sleep 3 # settle
    local shown minimised rss
    rss="$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")"
    read -r shown shown_server <<<"$(idle_ticks "$pid")"
    if [ -x "$iconify" ]; then "$iconify" "$window"; else xdotool windowunmap --sync "$window"; fi
    sleep 2
    read -r minimised minimised_server <<<"$(idle_ticks "$pid")"
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    printf '%-34s on screen: program %s, server %s; minimised: program %s, server %s; RSS %s MiB\n' "$1" \
        "$(share "$shown")" "$(share "$shown_server")" "$(share "$minimised")" "$(share "$minimised_server")" \
        "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')"
}

echo "Idle with sound playing into the recorded sink ($server_kind), over 20 s each:"
measure "not listening (meter only)" ""
measure "keeping 5 s before Record" "Pre-record Seconds=5"
measure "keeping 30 s before Record" "Pre-record Seconds=30"
measure "keeping 5 s, armed for sound" $'Pre-record Seconds=5\nSound Threshold=-1' arm
echo "Target: listening while idle costs the program under 0.5 % of a core."
