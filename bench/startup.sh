#!/usr/bin/env bash
# Start-up and idle cost: the time from start until the main window is mapped (seen as the X server
# maps it), the resident memory and the processor time of the idle program, for Trelvik and for a
# bare Qt window side by side.
# Runs five starts of each under a private Xvfb and a private PulseAudio with a null sink.
# Trelvik's idle time is measured three ways: on screen in silence and on screen while sound plays
# into the sink whose monitor it records from (its input level meter running), then minimised
# while the sound goes on (no meter, no stream that carries sound). The sound server's own
# processor time in each stretch is reported beside it: the meter's stream costs the server too.
# Processor time counts all threads, in the scheduler's nanoseconds.
#
#   bench/startup.sh [BUILD_DIR]     (default: build)
#   STARTUP_ONLY=N bench/startup.sh  only the time until the window is mapped, N starts of each
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$top/build}"
trelvik="$build/bin/trelvik"
bare="$build/bench/bare_window"
watch="$build/bench/map_watch"
[ -x "$trelvik" ] && [ -x "$bare" ] && [ -x "$watch" ] || { echo "startup.sh: build trelvik, bare_window and map_watch first"; exit 1; }
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

# Processor time of the program and of the server in 10 s, in nanoseconds: "program server".
idle_ns() { # pid
    local p0 s0
    p0="$(trelvik_cpu_ns "$1")"
    s0="$(trelvik_cpu_ns "$server")"
    sleep 10
    echo "$(($(trelvik_cpu_ns "$1") - p0)) $(($(trelvik_cpu_ns "$server") - s0))"
}

# Seconds from start until the window with the title is mapped, then the idle cost. Prints: seconds,
# RSS in KiB, then program and server nanoseconds on screen in silence; for Trelvik also on screen
# with sound, and minimised with sound.
measure() { # title command...
    local title="$1"
    shift
    local shown pid window
    # map_watch sees the window mapped the moment it is, where polling would add up to its period.
    read -r shown pid < <("$watch" "$title" "$@" 2>"$work/stderr.log") || true
    [ -n "${pid:-}" ] || { echo "startup.sh: no window \"$title\" from $1:" >&2; cat "$work/stderr.log" >&2; exit 1; }
    pids+=("$pid")
    window="$(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | head -n 1)"
    if [ -n "${STARTUP_ONLY:-}" ]; then
        kill "$pid"
        trelvik_env_until eval '! kill -0 '"$pid"' 2>/dev/null'
        echo "$shown 0 0 0 0 0 0 0"
        return
    fi
    sleep 3 # settle, then idle for 10 s
    local rss silent sound="" minimised=""
    rss="$(awk '/VmRSS/ { print $2 }' "/proc/$pid/status")"
    silent="$(idle_ns "$pid")"
    if [ "$title" = Trelvik ]; then
        play
        sound="$(idle_ns "$pid")"
        if [ -x "$iconify" ]; then "$iconify" "$window"; else xdotool windowunmap --sync "$window"; fi
        sleep 2
        minimised="$(idle_ns "$pid")"
        stop_playing
    fi
    kill "$pid"
    # Not a child of this shell (map_watch started it): its end is awaited by looking.
    trelvik_env_until eval '! kill -0 '"$pid"' 2>/dev/null'
    echo "$shown $rss $silent $sound $minimised"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

for name in trelvik bare; do
    : >"$work/$name.txt"
done
for run in $(seq "${STARTUP_ONLY:-5}"); do
    measure Trelvik "$trelvik" --home "$work/home" >>"$work/trelvik.txt"
    measure "Bare Qt window" "$bare" >>"$work/bare.txt"
done
report() { # name file
    local show rss cpu
    show="$(awk '{ print $1 }' "$2" | median)"
    rss="$(awk '{ print $2 }' "$2" | median)"
    cpu="$(awk '{ s += $3 } END { print s }' "$2")"
    printf '%-16s window mapped after %.4f s (median of %s), idle RSS %s MiB, idle CPU %.3f s over 50 s\n' \
        "$1" "$show" "$(wc -l <"$2")" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" \
        "$(awk -v t="$cpu" 'BEGIN { print t / 1e9 }')"
}
# Processor time over the five runs' 50 s in one stretch: the program's and the server's, and each
# as a share of one core.
stretch() { # label file program-column
    awk -v label="$1" -v c="$3" '
        { p += $c; s += $(c + 1) }
        END { printf "  %-36s program %.3f s (%.2f %% of a core), sound server %.3f s (%.2f %%)\n", label, p / 1e9, 100 * p / 1e9 / 50, s / 1e9, 100 * s / 1e9 / 50 }' "$2"
}
report Trelvik "$work/trelvik.txt"
stretch "on screen, silence (meter running)" "$work/trelvik.txt" 3
stretch "on screen, sound playing (meter)" "$work/trelvik.txt" 5
stretch "minimised, sound playing" "$work/trelvik.txt" 7
# What the meter costs the server: the same sound playing, on screen against minimised (when the
# program has no stream open).
awk '{ on += $6; off += $8 } END { printf "  %-36s %.3f s (%.2f %% of a core)\n", "meter'"'"'s cost to the sound server", (on - off) / 1e9, 100 * (on - off) / 1e9 / 50 }' "$work/trelvik.txt"
report "bare Qt window" "$work/bare.txt"
stretch "on screen, silence" "$work/bare.txt" 3
# The yardstick for a running meter: the bare window repainting a strip of a meter's size 30 times a
# second, with nothing else to do (the program's X connection settings, as it runs).
read -r _ strip_pid < <(QT_XCB_NO_MITSHM=1 "$watch" "Bare Qt window" "$bare" --strip 2>"$work/stderr.log")
pids+=("$strip_pid")
sleep 3
read -r strip_ns _ <<<"$(idle_ns "$strip_pid")"
kill "$strip_pid"
awk -v p="$strip_ns" 'BEGIN { printf "  %-36s program %.3f s over 10 s (%.2f %% of a core)\n", "repainting a strip 30 times a second", p / 1e9, 100 * p / 1e9 / 10 }'
awk -v t="$(awk '{ print $1 }' "$work/trelvik.txt" | median)" -v b="$(awk '{ print $1 }' "$work/bare.txt" | median)" \
    'BEGIN { printf "start-up ratio to the bare window: %.2f\n", t / b }'
echo "Targets: window mapped within 1.25x the bare window's time, idle under 60 MiB resident; on screen"
echo "with sound playing at most 0.3 % of a core for the program and for the meter's cost to the server."
