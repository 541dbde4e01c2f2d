#!/usr/bin/env bash
# The input level meter of the real program on the real sound server, read over the accessibility bus
# as a screen reader reads it. Sines at -20, -6 and -1 dBFS played into the null sink read within
# 0.5 dB, idle and while recording; while the server stalls, the idle meter falls to nothing, and
# it follows the sound again once the server is back; a burst of 3 full-scale samples lights the
# clip light and one of 2 does not, idle and while recording; a press, Space and the next Record put it out; 10 s of
# silence in a recording put the warning on the status line and a tone takes it away. Minimised,
# the program keeps no stream on the server but the corked one it always keeps to hold the source
# ready, and the idle meter never moves the device's rate.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
. "$TRELVIK_SOURCE_DIR/tools/test_env.sh"
need_sound_server
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
player=
stalled=
cleanup() {
    set +e
    [ -n "$stalled" ] && kill -CONT "$stalled" 2>/dev/null
    [ -n "$player" ] && kill "$player" 2>/dev/null
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

sink="${TRELVIK_TEST_SINK:-trelvik_sink}"
monitor="$sink.monitor"
# The monitor hears the sink sample for sample only at full volume.
pactl set-sink-volume "$sink" 100%
pactl set-sink-mute "$sink" 0
pactl set-source-mute "$monitor" 0
rate_before="$(pactl list short sinks | awk -v s="$sink" '$2 == s { print $4, $5, $6 }')"

# The signals, 44100 Hz 16-bit stereo like the sink, so that the monitor hands over the very samples.
signal() { sox -n -r 44100 -c 2 -b 16 "$@"; }
for level in -20 -6 -1; do
    signal "$work/sine$level.wav" synth 30 sine 997 gain "$level"
    peak="$(sox "$work/sine$level.wav" -n stat 2>&1 | awk '/Maximum amplitude/ { print $3 }')"
    awk -v p="$peak" -v l="$level" 'BEGIN { d = 20 * log(p) / log(10) - l; exit !(d < 0.01 && d > -0.01) }' ||
        fail "sox made a sine at $level dBFS whose peak is $peak"
done
# Half a second of silence, a burst of N full-scale samples in both channels, 1.5 s of silence, and a
# tone the meter recognises, so that a reading of the tone means the burst has been measured.
burst() { # samples tone-level file
    local i
    : >"$work/burst.raw"
    for ((i = 0; i < $1; i++)); do printf '\xff\x7f\xff\x7f' >>"$work/burst.raw"; done
    sox -t raw -r 44100 -e signed -b 16 -c 2 "$work/burst.raw" "$work/burst.wav"
    signal "$work/before.wav" trim 0 0.5
    signal "$work/gap.wav" trim 0 1.5
    signal "$work/tone.wav" synth 20 sine 997 gain "$2"
    sox "$work/before.wav" "$work/burst.wav" "$work/gap.wav" "$work/tone.wav" "$3"
}
burst 2 -6 "$work/burst2.wav"
burst 3 -20 "$work/burst3.wav"
burst 3 -6 "$work/burst3b.wav"
sox "$work/burst3.wav" -n stat 2>&1 | awk '/Maximum amplitude/ { exit !($3 > 0.9999) }' ||
    fail "the burst is not at full scale"

play() {
    stop_playing
    paplay --device="$sink" "$1" &
    player=$!
}
stop_playing() {
    if [ -n "$player" ]; then
        kill "$player" 2>/dev/null || true
        wait "$player" 2>/dev/null || true
    fi
    player=
}

# Waits until the meter reads the level within 0.5 dB three times in a row.
reads() { # level what
    local value="" inside=0
    for _ in $(seq 60); do
        value="$(a11y --window Trelvik --timeout 2 value "progress bar" "Input level" 2>/dev/null)" || value=""
        if [ -n "$value" ] && awk -v v="$value" -v l="$1" 'BEGIN { d = v - l; exit !(d <= 0.5 && d >= -0.5) }'; then
            inside=$((inside + 1))
            [ "$inside" -ge 3 ] && { echo "$2: $value dB"; return 0; }
        else
            inside=0
        fi
    done
    fail "$2: the meter reads '${value}', not $1 dB"
}

# The names of the streams the program has open on the server, sorted, joined by "|".
streams() {
    pactl list source-outputs | awk -v pid="$pid" '
        /^Source Output #/ { if (mine && name != "") print name; mine = 0; name = "" }
        $1 == "media.name" { sub(/^[^"]*"/, ""); sub(/"$/, ""); name = $0 }
        $1 == "application.process.id" && $3 == "\"" pid "\"" { mine = 1 }
        END { if (mine && name != "") print name }' | sort | paste -sd '|'
}
# How many of the program's streams on the server carry sound (are not corked).
running_streams() {
    pactl list source-outputs | awk -v pid="$pid" '
        /^Source Output #/ { if (mine && !corked) n++; mine = 0; corked = 0 }
        $1 == "Corked:" && $2 == "yes" { corked = 1 }
        $1 == "application.process.id" && $3 == "\"" pid "\"" { mine = 1 }
        END { if (mine && !corked) n++; print n + 0 }'
}
has_streams() { # expected
    local now=""
    for _ in $(seq 100); do
        now="$(streams)"
        [ "$now" = "$1" ] && return 0
        sleep 0.1
    done
    fail "the program has the streams '$now' open, not '$1'"
}

clip_lit() { [ "$(a11y --window Trelvik description "check box" Clip)" = clipped ]; }

start_accessibility
mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Source Name=%s\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s\n' \
    "$monitor" "$work/rec/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
a11y --window Trelvik wait "progress bar" "Input level" --showing || fail "the meter is not on the accessibility bus"

# Idle and on screen: the stream that keeps the source ready, and one that carries its peaks.
has_streams "Input level|Keeping the source ready"
for level in -20 -6 -1; do
    play "$work/sine$level.wav"
    reads "$level" "idle, a sine at $level dBFS"
done

# Idle, where people set their levels, the clip light counts as it does while recording: two
# full-scale samples do not light it, three do, and screen readers hear it on the meter too.
play "$work/burst2.wav"
reads -6 "idle, the tone after two full-scale samples"
! clip_lit || fail "idle, two full-scale samples lit the clip light"
play "$work/burst3.wav"
reads -20 "idle, the tone after three full-scale samples"
clip_lit || fail "idle, three full-scale samples did not light the clip light"
a11y --window Trelvik description "progress bar" "Input level" | grep -q "clipped" ||
    fail "the meter does not say that the sound clipped"
a11y --window Trelvik press "check box" Clip || fail "could not put the clip light out"
for _ in $(seq 50); do clip_lit || break; sleep 0.1; done
! clip_lit || fail "pressing the clip light did not put it out"
a11y --window Trelvik description "progress bar" "Input level" | grep -q "clipped" &&
    fail "the meter still says that the sound clipped"
stop_playing
rate_now="$(pactl list short sinks | awk -v s="$sink" '$2 == s { print $4, $5, $6 }')"
[ "$rate_now" = "$rate_before" ] || fail "the sink went from '$rate_before' to '$rate_now'"

# Minimised: only the stream it kept before the meter was there, corked, so that no sound flows to
# the program at all, and the thread that draws the meter on X11 has ended. Back on screen, the meter
# reads again, drawn by that thread.
meter_thread_is() { # present|gone
    if grep -qx trelvik-meter /proc/"$pid"/task/*/comm 2>/dev/null; then [ "$1" = present ]; else [ "$1" = gone ]; fi
}
meter_thread() { # present|gone
    trelvik_env_until meter_thread_is "$1" || fail "the meter's drawing thread is not $1"
}
[ "$(running_streams)" = 1 ] || fail "on screen, $(running_streams) streams carry sound, not the meter's alone"
meter_thread present
"$TRELVIK_TESTS_BIN_DIR/xiconify" "$main" || fail "could not minimise the window"
has_streams "Keeping the source ready"
[ "$(running_streams)" = 0 ] || fail "minimised, $(running_streams) streams still carry sound"
meter_thread gone
"$TRELVIK_TESTS_BIN_DIR/xiconify" "$main" --restore || fail "could not restore the window"
has_streams "Input level|Keeping the source ready"
play "$work/sine-6.wav"
reads -6 "restored, a sine at -6 dBFS"
meter_thread present

# Idle, when no samples arrive (the server stalls), the bars fall to nothing on the meter's own
# clock, and follow the sound again once the server is back.
server="${TRELVIK_TEST_SERVER_PID:-}"
[ -n "$server" ] && kill -0 "$server" 2>/dev/null || fail "the test world names no sound server of its own"
stalled="$server"
kill -STOP "$server"
reads -60 "idle, the server stalled"
kill -CONT "$server"
stalled=
reads -6 "idle, the server back"
stop_playing

# Recording: the recording's own stream is measured, no second one beside it. Ten seconds of silence
# put the warning on the status line; a tone takes it away.
a11y --window Trelvik press "push button" "Record F9" || fail "could not press Record"
a11y --window Trelvik wait "push button" "Stop F11" --enabled || fail "the recording did not start"
has_streams "Keeping the source ready|Recording"
warning="No sound is arriving from $(pactl list sources | awk -v m="$monitor" '
    $1 == "Name:" { name = $2 } $1 == "Description:" && name == m { sub(/^[^:]*: /, ""); print; exit }'): is it muted, unplugged, or the wrong device?"
a11y --window Trelvik --timeout 20 wait text Status --text "$warning" || fail "10 s of silence raised no warning"
play "$work/sine-20.wav"
a11y --window Trelvik wait text Status --text "The Program is Recording now........" ||
    fail "the warning stayed after the tone arrived"
reads -20 "recording, a sine at -20 dBFS"
for level in -6 -1; do
    play "$work/sine$level.wav"
    reads "$level" "recording, a sine at $level dBFS"
done

# Two full-scale samples do not light the clip light; three do.
play "$work/burst2.wav"
reads -6 "recording, the tone after two full-scale samples"
! clip_lit || fail "two full-scale samples lit the clip light"
play "$work/burst3.wav"
reads -20 "recording, the tone after three full-scale samples"
clip_lit || fail "three full-scale samples did not light the clip light"
a11y --window Trelvik wait "check box" Clip --showing --enabled || fail "the clip light cannot be reached"
# Space on the clip light puts it out.
xdotool windowfocus --sync "$main"
a11y --window Trelvik focus "check box" Clip || fail "the clip light takes no focus"
a11y --window Trelvik wait "check box" Clip --focused || fail "the clip light did not get the focus"
xdotool key space
for _ in $(seq 50); do clip_lit || break; sleep 0.1; done
! clip_lit || fail "Space did not put the clip light out"

# Lit again; the next Record puts it out.
play "$work/burst3b.wav"
reads -6 "recording, the tone after three more full-scale samples"
clip_lit || fail "three full-scale samples did not light the clip light again"
stop_playing
a11y --window Trelvik press "push button" "Stop F11" || fail "could not press Stop"
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the recording is not in the list"
has_streams "Input level|Keeping the source ready"
clip_lit || fail "the clip light went out at Stop"
a11y --window Trelvik press "push button" "Record F9" || fail "could not press Record again"
a11y --window Trelvik wait "push button" "Stop F11" --enabled || fail "the second recording did not start"
! clip_lit || fail "Record left the clip light lit"
a11y --window Trelvik press "push button" "Stop F11" || fail "could not stop the second recording"
a11y --window Trelvik wait "list item" "~02 .*/take_1\.wav" || fail "the second recording is not in the list"

close_window "$main"
ends_with 0
echo PASS
