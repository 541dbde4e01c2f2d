#!/usr/bin/env bash
# The real program under Xvfb with the real sound server: F9, F10 and F11 drive recordings while
# another window has the focus; the files land under the names of the numbering rule, in the stored
# format; closing the window and SIGTERM save a running recording; the keys are free after exit.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
tools="$TRELVIK_TESTS_BIN_DIR"
shots="$TRELVIK_BIN_DIR/../screenshots"
mkdir -p "$shots"
work="$(mktemp -d)"
pid=
pids=()
cleanup() {
    # Every step runs even when one fails (a program that already died): the buses and servers
    # this test started must not outlive it.
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
wait_file() { for _ in $(seq 100); do [ -s "$1" ] && return 0; sleep 0.1; done; fail "$1 was not written"; }
# The recordings are 22050 Hz, 2 channels, 16 bits. The spool trails the capture by up to a second
# (its writer writes once a second), so a take stopped once its spool holds N s lasts about N to
# N + 1.1 s.
rate=$((22050 * 2 * 2))
recorded() { wait_recorded "$work/rec" "$1" "$rate"; }
status() { a11y --window Trelvik wait text Status --text "$1" || fail "the status is not \"$1\""; }
# Duration in seconds and the format of a wave file, and whether it holds sound.
check_wave() { # file min max
    local d
    [ "$(soxi -r "$1")" = 22050 ] && [ "$(soxi -c "$1")" = 2 ] && [ "$(soxi -b "$1")" = 16 ] ||
        fail "$1 is not 22050 Hz, 2 channels, 16 bits: $(soxi "$1")"
    d="$(soxi -D "$1")"
    awk -v d="$d" -v lo="$2" -v hi="$3" 'BEGIN { exit !(d >= lo && d <= hi) }' || fail "$1 lasts $d s, expected $2 to $3"
    echo "$(basename "$1"): $d s"
    [ "$(stat -c %a "$1")" = "$(stat -c %a "$work/probe")" ] || fail "$1 has mode $(stat -c %a "$1"), not that of a new file"
    local rms
    rms="$(sox "$1" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
    awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "$1 is silent (RMS $rms)"
}
start() {
    "$bin" --home "$work/home" &
    pid=$!
    main="$(window Trelvik)" || fail "the main window did not appear"
    # Another program takes the focus; the hot keys must reach Trelvik all the same.
    xdotool windowfocus --sync "$other"
}

start_accessibility
# A signal plays into the sink for the whole test.
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
pids+=($!)
xmessage -geometry 300x100+600+600 "another program" &
pids+=($!)
other="$(window xmessage)" || fail "xmessage did not appear"

mkdir -p "$work/home" "$work/rec"
touch "$work/probe"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
start

xdotool key F9
recorded 2.8
xdotool key F10
status 'Recording Paused,Press Resume\Stop to continue\over'
hold_pause "$work/rec" 2 "$rate"
xdotool key F10
status 'The Program is Recording now........'
recorded 4
shot "$main" "$shots/recording.png"
recorded 4.8
xdotool key F11
wait_file "$work/rec/take.wav"
check_wave "$work/rec/take.wav" 4.4 6.4

xdotool key F9
recorded 2.8
xdotool key F11
wait_file "$work/rec/take_1.wav"
check_wave "$work/rec/take_1.wav" 2.5 4.4

a11y --window Trelvik wait "list item" "~02 .*/take_1\.wav" || fail "the second take is not in the list"
shot "$main" "$shots/list.png"
"$tools/xgrab" F9 && fail "F9 was not held while the program ran"
xdotool key F9
recorded 2.8
close_window "$main"
ends_with 0
check_wave "$work/rec/take_2.wav" 2.5 4.6
grep -q '^Recording Volume=' "$work/home/Config.ini" || fail "Recording Volume not written"

# After exit another program can take the keys at once.
for key in F9 F10 F11; do
    "$tools/xgrab" "$key" || fail "$key is still held after exit"
done

# SIGTERM during a recording saves it; the earlier names are skipped.
start
xdotool key F9
recorded 2.8
kill -TERM "$pid"
ends_with 0
check_wave "$work/rec/take_3.wav" 2.5 4.6
[ ! -e "$work/rec/take_4.wav" ] || fail "one recording became two files"

# F11 and F9 at once: the F9 pressed while Stop saves is lost, not acted on once the save is done.
start
xdotool key F9
recorded 2.8
xdotool key --delay 1 F11 F9
wait_file "$work/rec/take_4.wav"
# A command is answered after every event that came before it.
[ "$("$bin" --command status)" = idle ] || fail "F9 pressed during Stop's save started a recording"
[ -z "$(spool_file "$work/rec")" ] || fail "F9 pressed during Stop's save started $(spool_file "$work/rec")"
check_wave "$work/rec/take_4.wav" 2.5 4.6

# SIGTERM while Stop saves: the take is saved once, and the program ends.
xdotool key F9
recorded 2.8
xdotool key F11
kill -TERM "$pid"
ends_with 0
check_wave "$work/rec/take_5.wav" 2.5 4.6
[ ! -e "$work/rec/take_6.wav" ] || fail "a take saved during shutdown became two files"
[ -z "$(spool_file "$work/rec")" ] || fail "a spool is left after shutdown: $(spool_file "$work/rec")"
echo PASS
