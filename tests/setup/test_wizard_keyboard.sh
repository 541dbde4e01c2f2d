#!/usr/bin/env bash
# A first run of the real program under Xvfb, driven through the whole wizard by keyboard, with the
# null sink's monitor as the default source: it ends with the five keys in Config.ini and the main
# window shown.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
shots="$TRELVIK_BIN_DIR/../screenshots"
mkdir -p "$shots"
work="$(mktemp -d)"
pid=
previous="$(pactl get-default-source)"
cleanup() {
    # Every step runs even when one fails (a program that already died): the buses and servers
    # this test started must not outlive it.
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    pactl set-default-source "$previous"
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Waits until the wizard shows this text, its next button usable again, and takes its picture.
step() { # picture text [more conditions for a11y wait]
    local picture="$1" text="$2"
    shift 2
    a11y --window "Sound Card Setting" --timeout 30 wait label "$text" ||
        fail "the wizard does not show \"$text\" for $picture"
    [ $# -eq 0 ] || a11y --window "Sound Card Setting" --timeout 30 wait "$@" || fail "the wizard at $picture: $*"
    shot "$wizard" "$shots/wizard-$picture.png"
}

pactl set-default-source "$sink.monitor"
pactl set-source-volume "$sink.monitor" 100%
start_accessibility
"$bin" --home "$work" &
pid=$!
wizard="$(window "Sound Card Setting")" || fail "the wizard did not appear"
xdotool windowfocus --sync "$wizard"
next=("push button" next --enabled --focused)
step 0-start "Program is preparing to configure your sound card settings." "${next[@]}"
xdotool key space   # next: count the sources
step 1-detected "~Program has detected +[0-9]+ +usable recording sources\." "${next[@]}"
xdotool key space   # next: the prompt for source 1
step 2-prompt "~Program will test NO\.1 recording source\..*" "${next[@]}"
xdotool key space   # next: record while the chime plays
step 3-recorded "Press Next button, you should hear the same TEST chime AGAIN or you will not hear any voice." \
    "${next[@]}"
xdotool key space   # next: play the recording back
step 4-ask "~Have you heard the TEST chime AGAIN\?.*" "${next[@]}"
a11y --window "Sound Card Setting" wait "push button" heard --enabled --showing || fail "no heard button"
xdotool key Tab space   # heard
step 5-saved "Sound card settings Completed,the information has be saved!" "push button" Done --focused
[ "$(tr -d '\r' <"$work/Config.ini")" = "$(printf '[Config]\nRecording Source=1\nRecording Source Name=%s.monitor\nSave Position=%s\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050' "$sink" "$work/Brel.wav")" ] ||
    fail "Config.ini after heard: $(cat "$work/Config.ini")"
xdotool key space   # Done
main="$(window Trelvik)" || fail "the main window did not appear after Done"
[ -z "$(xdotool search --onlyvisible --name '^Sound Card Setting$' 2>/dev/null)" ] || fail "the wizard is still shown"
shot "$main" "$shots/wizard-6-main.png"
close_window "$main"
ends_with 0
grep -q '^Recording Volume=32768$' "$work/Config.ini" || fail "the level is not the middle of the range: $(cat "$work/Config.ini")"
echo PASS
