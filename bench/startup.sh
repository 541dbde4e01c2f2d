#!/usr/bin/env bash
# Start-up and idle cost: the time from start until the main window is mapped, the resident memory
# and the processor time of the idle program, for Trelvik and for a bare Qt window side by side.
# Runs five starts of each under a private Xvfb and a private PulseAudio with a null sink.
# Trelvik's idle time is measured three ways: on screen in silence and on screen while sound plays
# into the sink whose monitor it records from (its input level meter running), then minimised
# while the sound goes on (no meter, no stream that carries sound). The sound server's own
# processor time in each stretch is reported beside it: the meter's stream costs the server too.
#
#   bench/startup.sh [BUILD_DIR]     (default: build)
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
trelvik="$build/bin/trelvik"
bare="$build/bench/bare_window"
[ -x "$trelvik" ] && [ -x "$bare" ] || { echo "startup.sh: build trelvik and bare_window first"; exit 1; }
# Minimises a window as a window manager does (Xvfb runs none); without the helper the window is
# only unmapped, which the program sees the same way.
iconify="$build/tests/bin/xiconify"

# A world of its own from the tests' (tools/test_env.sh): a private Xvfb, and a private PulseAudio
# whose null sink's monitor is the default source, whose processor time is measured too.
. "$top/tools/test_env.sh"
trelvik_bench_begin bench
trelvik_env_enter pulseaudio own || { echo "startup.sh: Xvfb or PulseAudio did not start"; exit 1; }
server="$(trelvik_env_sound_server_pid)"
sink="$TRELVIK_TEST_SINK"
unset QT_QPA_PLATFORM

sox -n -r 44100 -c 2 -b 16 "$work/sound.wav" synth 20 pinknoise vol 0.3
player=
play() {
    paplay --device="$sink" "$work/sound.wav" &
    player=$!
    pids+=($player)
    trelvik_env_until trelvik_env_hears_sound || { echo "startup.sh: the sound does not play" >&2; exit 1; }
}
stop_playing() {
    kill "$player" 2>/dev/null || true
    wait "$player" 2>/dev/null || true
}

mkdir -p "$work/home"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/home/take.wav" >"$work/home/Config.ini"

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Clock ticks the program and the server use in 10 s: "program server".
idle_ticks() { # pid
    local p0 s0
    p0="$(ticks "$1")"
    s0="$(ticks "$server")"
    sleep 10
    echo "$(($(ticks "$1") - p0)) $(($(ticks "$server") - s0))"
}

# Seconds from start until a visible window with the title appears (polled every 20 ms), then the
# idle cost. Prints: seconds, RSS in KiB, then program and server ticks on screen in silence; for
# Trelvik also on screen with sound, and minimised with sound.
measure() { # title command...
    local title="$1"
    shift
    local start end pid window
    start="$(date +%s.%N)"
    "$@" >/dev/null 2>"$work/stderr.log" &
    pid=$!
    local tries=0
    until window="$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1)" && [ -n "$window" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 500 ] && kill -0 "$pid" 2>/dev/null || { echo "startup.sh: no window \"$title\" from $1:" >&2; cat "$work/stderr.log" >&2; exit 1; }
        sleep 0.02
    done
    end="$(date +%s.%N)"
    sleep 3 # settle, then idle for 10 s
    local rss silent sound="" minimised=""
    rss="$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")"
    silent="$(idle_ticks "$pid")"
    if [ "$title" = Trelvik ]; then
        play
        sound="$(idle_ticks "$pid")"
        if [ -x "$iconify" ]; then "$iconify" "$window"; else xdotool windowunmap --sync "$window"; fi
        sleep 2
        minimised="$(idle_ticks "$pid")"
        stop_playing
    fi
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }') $rss $silent $sound $minimised"
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
# Processor time over the five runs' 50 s in one stretch: the program's and the server's, and the
# program's as a share of one core.
stretch() { # label file program-column
    awk -v label="$1" -v c="$3" -v hz="$hz" '
        { p += $c; s += $(c + 1) }
        END { printf "  %-36s program %.2f s (%.2f %% of a core), sound server %.2f s\n", label, p / hz, 100 * p / hz / 50, s / hz }' "$2"
}
report Trelvik "$work/trelvik.txt"
stretch "on screen, silence (meter running)" "$work/trelvik.txt" 3
stretch "on screen, sound playing (meter)" "$work/trelvik.txt" 5
stretch "minimised, sound playing" "$work/trelvik.txt" 7
report "bare Qt window" "$work/bare.txt"
stretch "on screen, silence" "$work/bare.txt" 3
echo "Targets: window within 0.3 s, idle under 60 MiB resident; idle CPU on screen with the meter"
echo "running at most 1 % of one core, minimised none."
