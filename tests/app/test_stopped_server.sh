#!/usr/bin/env bash
# The real program under Xvfb while its sound server hangs (SIGSTOP): moving the recording-level
# slider from the keyboard must leave the window answering a screen reader within 0.5 s, the label
# showing each new position; once the server runs again, its source gets the last position.
# Record pressed while the server hangs is taken at once (Stop is offered, the window answers), and
# the take starts when the server runs again; playing it while the server hangs answers at once too,
# and says it cannot be played when the sound does not start. With a source chosen by name that is
# away, the slider's steps answer at once too. Started while the server hangs, the window comes up at
# once, and the source and level stored reach the server once it runs again.
# The test runs its own PulseAudio, so that stopping it disturbs no other test.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
server=
cleanup() {
    # Every step runs even when one fails (a program that already died): the buses and servers
    # this test started must not outlive it.
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    if [ -n "$server" ]; then
        kill -CONT "$server" 2>/dev/null
        kill "$server" 2>/dev/null
        wait "$server" 2>/dev/null
    fi
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# A sound server of this test's own: a null sink whose monitor is the default source.
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
export PULSE_SERVER="unix:$work/runtime/pulse/native"
unset PULSE_SINK PULSE_SOURCE
pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=stopped_sink rate=44100 format=s16le channels=2" \
    >"$work/pulse.log" 2>&1 &
server=$!
for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
pactl info >/dev/null 2>&1 || { cat "$work/pulse.log"; fail "the test's PulseAudio did not start"; }
source=stopped_sink.monitor
pactl set-default-sink stopped_sink
pactl set-default-source "$source"

# Every channel of the source at this level (65536 is 100 %).
source_at() {
    pactl get-source-volume "$source" | awk -v want="$1" '
        /^Volume:/ { for (i = 2; i < NF; i++) if ($i ~ /:$/) { n++; if ($(i + 1) != want) bad = 1 } }
        END { exit !(n > 0 && !bad) }'
}
wait_source_at() {
    for _ in $(seq 200); do source_at "$1" && return 0; sleep 0.1; done
    fail "the source is not at $1: $(pactl get-source-volume "$source" | head -n 1)"
}

start_accessibility
mkdir -p "$work/home"
printf '[Config]\nRecording Source=1\nRecording Volume=32768\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
slider=("scroll bar" "Recording volume setting")
caption="Recording volume setting :"
a11y wait label "$caption"32768 || fail "the label does not show the stored level"
wait_source_at 32768

xdotool windowfocus --sync "$main"
a11y focus "${slider[@]}" || fail "the slider took no focus"
a11y wait "${slider[@]}" --focused || fail "the slider has no keyboard focus"

kill -STOP "$server"
position=32768
for key in Page_Up Page_Up Right Right Page_Down; do
    xdotool key "$key"
    # A window that waits for the hung server cannot answer; one that answers shows the move.
    a11y --timeout 0.5 wait label "~${caption}(?!$position\$)[0-9]+" ||
        fail "0.5 s after $key (sound server stopped) the window did not answer or showed no new position"
    shown="$(a11y --timeout 0.5 text label "~${caption}[0-9]+")" || fail "the window stopped answering after $key"
    value="$(a11y --timeout 0.5 value "${slider[@]}")" || fail "the slider stopped answering after $key"
    [ "$shown" = "$caption$value" ] || fail "after $key the label shows '$shown' for the slider at $value"
    echo "$key: $value, answered in $(a11y --timeout 0.5 ping "${slider[@]}") s"
    position="$value"
done

kill -CONT "$server"
wait_source_at "$position"

# Waits up to 10 s until the status line says the take was saved, plainly or saying that its first
# moments are missing.
wait_saved() { # name
    a11y --timeout 10 wait text Status --text "~Recording is over,Wave file has saved in appointed path|Saved as …/${1//./\\.}, but its first .*" >/dev/null
}

# Record while the server hangs: the window takes it at once and waits for the source without
# blocking; Record is refused meanwhile and Stop offered.
a11y wait "push button" "Record F9" --enabled || fail "Record is not offered"
kill -STOP "$server"
a11y press "push button" "Record F9" --no-wait || fail "no button Record F9"
a11y --timeout 0.5 wait "push button" "Stop F11" --enabled ||
    fail "0.5 s after Record (sound server stopped) the window did not answer or offered no Stop"
a11y --timeout 0.5 wait "push button" "Record F9" --disabled || fail "Record is still offered while it starts"
echo "Record while the server hangs: answered in $(a11y --timeout 0.5 ping "push button" "Stop F11") s"
kill -CONT "$server"
a11y --timeout 10 wait text Status --text "The Program is Recording now........" ||
    fail "the take did not start once the server ran again: $(a11y text text Status)"
a11y press "push button" "Stop F11" || fail "no button Stop F11"
# The server ran again just now and the take began then; a busy machine may hold up the source's
# first sound past what a take lets pass unsaid, and the program says so when it saves.
wait_saved take.wav || fail "the take was not saved: $(a11y text text Status)"
frames="$(python3 -c 'import sys, wave; print(wave.open(sys.argv[1]).getnframes())' "$work/take.wav")"
[ "$frames" -gt 0 ] || fail "the take holds no audio"

# Playing it while the server hangs: the window answers, and says so when the sound does not start.
item=("list item" "~01 .*/take\.wav")
a11y wait "${item[@]}" || fail "the take is not in the list"
read -r x y <<<"$(a11y where "${item[@]}")" || fail "the take's list item has no place on screen"
kill -STOP "$server"
xdotool mousemove "$x" "$y" click --repeat 2 --delay 80 1
a11y --timeout 0.5 wait text Status --text "Recording is playing now........" ||
    fail "0.5 s after Return (sound server stopped) the window did not answer: $(a11y text text Status)"
a11y --timeout 10 wait text Status --text "$work/take.wav cannot be played." ||
    fail "a playback the server never started is not reported: $(a11y text text Status)"
kill -CONT "$server"
xdotool mousemove "$x" "$y" click --repeat 2 --delay 80 1
a11y --timeout 10 wait text Status --text "Playback has stopped" ||
    fail "the take did not play once the server ran again: $(a11y text text Status)"
close_window "$main"
ends_with 0
grep -q "^Recording Volume=$position\$" "$work/home/Config.ini" || fail "Recording Volume is not $position: $(cat "$work/home/Config.ini")"

# A source chosen by name that is away: the slider holds its level for it, and while the server
# hangs each step still answers at once (the program looks the source up in the list the server
# last sent, not by asking again).
printf '[Config]\nRecording Source=1\nRecording Source Name=trelvik_away.monitor\nRecording Volume=32768\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/away.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear with a source that is away"
a11y wait label "$caption"32768 || fail "the label does not show the level stored for the source that is away"
xdotool windowfocus --sync "$main"
a11y focus "${slider[@]}" || fail "the slider took no focus"
a11y wait "${slider[@]}" --focused || fail "the slider has no keyboard focus"
kill -STOP "$server"
position=32768
for key in Page_Up Right Page_Down; do
    xdotool key "$key"
    a11y --timeout 0.5 wait label "~${caption}(?!$position\$)[0-9]+" ||
        fail "0.5 s after $key (sound server stopped, source away) the window did not answer or showed no new position"
    position="$(a11y --timeout 0.5 value "${slider[@]}")" || fail "the slider stopped answering after $key"
done
kill -CONT "$server"
close_window "$main"
ends_with 0

# Started while the server hangs: the window comes up without waiting for it, and a level moved
# meanwhile is shown. Once the server runs again, the source chosen by its place in the list records
# (here not the default source) and gets the level the slider shows.
pactl load-module module-null-sink sink_name=second_sink rate=44100 format=s16le channels=2 >/dev/null
second=second_sink.monitor
wait_listed() { for _ in $(seq 100); do pactl list short sources | grep -q "	$second	" && return 0; sleep 0.1; done; return 1; }
wait_listed || fail "the second sink's monitor is not listed"
source="$second"
printf '[Config]\nRecording Source=2\nRecording Volume=32768\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/late.wav" >"$work/home/Config.ini"
kill -STOP "$server"
started="$(date +%s.%N)"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear while the server hangs"
shown="$(date +%s.%N)"
awk -v a="$started" -v b="$shown" 'BEGIN { exit !(b - a < 1.5) }' ||
    fail "the window took $(awk -v a="$started" -v b="$shown" 'BEGIN { printf "%.2f", b - a }') s to appear while the server hangs"
a11y --timeout 0.5 wait label "$caption"32768 || fail "the stored level is not shown while the server hangs"
xdotool windowfocus --sync "$main"
a11y focus "${slider[@]}" || fail "the slider took no focus"
a11y wait "${slider[@]}" --focused || fail "the slider has no keyboard focus"
xdotool key Page_Up
a11y --timeout 0.5 wait label "~${caption}(?!32768\$)[0-9]+" || fail "a step while the server hangs is not shown"
position="$(a11y --timeout 0.5 value "${slider[@]}")" || fail "the slider stopped answering"
kill -CONT "$server"
wait_source_at "$position"
pactl get-source-volume stopped_sink.monitor | grep -q " $position / " && fail "the default source got the level too"
a11y wait "push button" "Record F9" --enabled || fail "Record is not offered"
a11y press "push button" "Record F9" || fail "no button Record F9"
a11y --timeout 10 wait text Status --text "The Program is Recording now........" ||
    fail "the take did not start: $(a11y text text Status)"
second_index="$(pactl list short sources | awk -v n="$second" '$2 == n { print $1 }')"
outputs="$(pactl list short source-outputs)"
echo "$outputs" | awk -v s="$second_index" '$2 != s { bad = 1 } END { exit !(NR > 0 && !bad) }' ||
    fail "the take does not record the second source ($second_index): $outputs"
# Stopped once the take holds audio: a monitor hands over its first sound after its sink rendered it.
for _ in $(seq 100); do
    [ "$(stat -c %s "$work/late.wav.recording" 2>/dev/null || echo 0)" -gt 8192 ] && break
    sleep 0.1
done
a11y press "push button" "Stop F11" || fail "no button Stop F11"
# The server came back just now: the second sink may still have had sound rendered far ahead when
# the take started, and the program says so when it saves.
wait_saved late.wav || fail "the take was not saved: $(a11y text text Status)"
frames="$(python3 -c 'import sys, wave; print(wave.open(sys.argv[1]).getnframes())' "$work/late.wav")"
[ "$frames" -gt 0 ] || fail "the take holds no audio"
close_window "$main"
ends_with 0
grep -q "^Recording Volume=$position\$" "$work/home/Config.ini" || fail "Recording Volume is not $position"
echo PASS
