#!/usr/bin/env bash
# The real program killed outright in the middle of a take: the next start finds the take, repairs
# it and lists it under the name it was to have; the next take gets the name after it. A second
# program started while the first still records leaves that recording alone.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
others=()
cleanup() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    for p in "${others[@]}"; do kill -9 "$p" 2>/dev/null || true; done
    [ ! -s "$work/lame finished" ] || kill "$(cat "$work/lame finished")" 2>/dev/null || true
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
rate=$((22050 * 4))
# The main window of one program, when several run.
window_of() { # pid
    local id
    for _ in $(seq 100); do
        id="$(xdotool search --all --onlyvisible --pid "$1" --name '^Trelvik$' 2>/dev/null | head -n 1)" || true
        [ -n "$id" ] && { echo "$id"; return 0; }
        sleep 0.1
    done
    return 1
}

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)

mkdir -p "$work/first" "$work/second" "$work/rec"
for home in first second; do
    printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
        "$work/rec/take.wav" >"$work/$home/Config.ini"
done

# The first program records.
env -u DBUS_SESSION_BUS_ADDRESS "$bin" --home "$work/first" &
first=$!
others+=($first)
pid=$first
window_of "$first" >/dev/null || fail "the first program's window did not appear"
xdotool key F9
wait_recorded "$work/rec" 3 "$rate"
spool="$(spool_file "$work/rec")"
[ "$(basename "$spool")" = "take.wav.recording" ] || fail "the spool is $spool, not named after its take"

# A second program starts meanwhile, with the same output path (as from another login session,
# whose session bus does not know the first): the live take is not its to take.
env -u DBUS_SESSION_BUS_ADDRESS "$bin" --home "$work/second" &
pid=$!
second_window="$(window_of "$pid")" || fail "the second program's window did not appear"
[ -f "$spool" ] || fail "the second program took the first one's running take"
[ ! -e "$work/rec/take.wav" ] || fail "the second program saved the first one's running take"
painted "$second_window"
close_window "$second_window"
ends_with 0
[ -f "$spool" ] || fail "the running take went when the second program ended"

# The first program is killed outright.
recorded="$(recorded_seconds "$work/rec" "$rate")"
kill -9 "$first"
wait "$first" 2>/dev/null || true
pid=
[ -f "$spool" ] || fail "the killed program's take is gone"

# The next start gives it back, under the name it was to have.
"$bin" --home "$work/first" &
pid=$!
main="$(window_of "$pid")" || fail "the window did not appear after the kill"
for _ in $(seq 100); do [ -f "$work/rec/take.wav" ] && break; sleep 0.1; done
[ -f "$work/rec/take.wav" ] || fail "the killed take was not recovered as take.wav"
[ ! -e "$spool" ] || fail "the spool is still there after the take was recovered"
duration="$(soxi -D "$work/rec/take.wav")" || fail "the recovered take cannot be read"
awk -v d="$duration" -v r="$recorded" 'BEGIN { exit !(d >= r - 1) }' ||
    fail "the recovered take lasts $duration s of the $recorded s recorded"
rms="$(sox "$work/rec/take.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "the recovered take is silent (RMS $rms)"

# The next take follows it.
xdotool key F9
wait_recorded "$work/rec" 1 "$rate"
xdotool key F11
for _ in $(seq 100); do [ -s "$work/rec/take_1.wav" ] && break; sleep 0.1; done
[ -s "$work/rec/take_1.wav" ] || fail "the next take is not take_1.wav"
painted "$main"
close_window "$main"
ends_with 0

# A take being saved in another format, killed: the wave file holds it and is recovered; the
# unfinished copy goes, and the status line says the take is a wave file and why.
start_accessibility
cp "$work/first/Config.ini" "$work/first/Config.wave"
number=2
for choice in "FLAC:flac" "Ogg Vorbis:ogg" "Opus:opus" "MP3:mp3"; do
    format="${choice%:*}"
    extension="${choice#*:}"
    take="take_$number"
    { cat "$work/first/Config.wave"; printf 'Save Format=%s\n' "$format"; } >"$work/first/Config.ini"
    "$bin" --home "$work/first" &
    pid=$!
    main="$(window_of "$pid")" || fail "$format: the window did not appear"
    # A program that starts after a killed one numbers on from the recovered take.
    xdotool key F9
    wait_recorded "$work/rec" 2 "$rate"
    [ -s "$work/rec/$take.$extension.encoding" ] ||
        fail "$format: no copy is made beside the running take: $(ls "$work/rec")"
    recorded="$(recorded_seconds "$work/rec" "$rate")"
    kill -9 "$pid"
    wait "$pid" 2>/dev/null || true
    "$bin" --home "$work/first" &
    pid=$!
    main="$(window_of "$pid")" || fail "$format: the window did not appear after the kill"
    for _ in $(seq 100); do [ -f "$work/rec/$take.wav" ] && break; sleep 0.1; done
    [ -f "$work/rec/$take.wav" ] || fail "$format: the killed take was not recovered as $take.wav: $(ls "$work/rec")"
    for _ in $(seq 50); do [ ! -e "$work/rec/$take.$extension.encoding" ] && break; sleep 0.1; done
    [ ! -e "$work/rec/$take.$extension.encoding" ] && [ ! -e "$work/rec/$take.$extension" ] ||
        fail "$format: the unfinished copy is still there: $(ls "$work/rec")"
    duration="$(soxi -D "$work/rec/$take.wav")" || fail "$format: the recovered take cannot be read"
    awk -v d="$duration" -v r="$recorded" 'BEGIN { exit !(d >= r - 1) }' ||
        fail "$format: the recovered take lasts $duration s of the $recorded s recorded"
    a11y --window Trelvik wait "list item" "~01 .*/$take\.wav" >/dev/null || fail "$format: the recovered take is not listed"
    status="$(a11y --window Trelvik text text Status)"
    [[ "$status" == "Recovered a recording not saved when Trelvik last ended: "*"$take.wav It is kept as a wave file: its $format copy was not finished." ]] ||
        fail "$format: the status line says: $status"
    close_window "$main"
    ends_with 0
    number=$((number + 1))
done

# Killed after Stop, while the MP3 copy is being finished: the wave file is complete by then. The
# next start lists it, removes the unfinished copy and says why the take is a wave file. The lame
# here finishes its file and then hangs, as a slow one would, so the program is caught saving.
take="take_$number"
mkdir -p "$work/slow-lame"
printf '#!/bin/sh\n%s "$@"\necho $$ >"%s"\nexec sleep 60\n' "$(command -v lame)" "$work/lame finished" >"$work/slow-lame/lame"
chmod +x "$work/slow-lame/lame"
{ cat "$work/first/Config.wave"; printf 'Save Format=MP3\n'; } >"$work/first/Config.ini"
PATH="$work/slow-lame:$PATH" "$bin" --home "$work/first" &
pid=$!
main="$(window_of "$pid")" || fail "MP3 after Stop: the window did not appear"
xdotool key F9
wait_recorded "$work/rec" 2 "$rate"
[ -s "$work/rec/$take.mp3.encoding" ] || fail "MP3 after Stop: no copy is made beside the running take"
xdotool key F11
for _ in $(seq 100); do [ -s "$work/lame finished" ] && break; sleep 0.1; done
[ -s "$work/lame finished" ] || fail "MP3 after Stop: lame never reached the end of the take"
[ -f "$work/rec/$take.wav" ] && [ -e "$work/rec/$take.mp3.encoding" ] ||
    fail "MP3 after Stop: the program was not caught saving: $(ls "$work/rec")"
recorded="$(soxi -D "$work/rec/$take.wav")" || fail "MP3 after Stop: the saved wave file cannot be read"
kill -9 "$pid"
wait "$pid" 2>/dev/null || true
kill "$(cat "$work/lame finished")" 2>/dev/null || true
"$bin" --home "$work/first" &
pid=$!
main="$(window_of "$pid")" || fail "MP3 after Stop: the window did not appear after the kill"
a11y --window Trelvik wait "list item" "~01 .*/$take\.wav" >/dev/null ||
    fail "MP3 after Stop: the saved take is not listed: $(ls "$work/rec")"
[ ! -e "$work/rec/$take.mp3.encoding" ] && [ ! -e "$work/rec/$take.mp3" ] ||
    fail "MP3 after Stop: the unfinished copy is still there: $(ls "$work/rec")"
[ "$(soxi -D "$work/rec/$take.wav")" = "$recorded" ] || fail "MP3 after Stop: the wave file changed"
status="$(a11y --window Trelvik text text Status)"
[[ "$status" == "Recovered a recording not saved when Trelvik last ended: "*"$take.wav It is kept as a wave file: its MP3 copy was not finished." ]] ||
    fail "MP3 after Stop: the status line says: $status"
close_window "$main"
ends_with 0
echo PASS
