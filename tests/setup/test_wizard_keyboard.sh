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
cleanup() { [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; pactl set-default-source "$previous"; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
shot() { sleep 0.4; import -window "$wizard" "$shots/wizard-$1.png"; }

pactl set-default-source "$sink.monitor"
pactl set-source-volume "$sink.monitor" 100%
"$bin" --home "$work" &
pid=$!
wizard="$(window "Sound Card Setting")" || fail "the wizard did not appear"
xdotool windowfocus --sync "$wizard"
shot 0-start
xdotool key space   # next: count the sources
shot 1-detected
xdotool key space   # next: the prompt for source 1
shot 2-prompt
xdotool key space   # next: record while the chime plays
sleep 4
shot 3-recorded
xdotool key space   # next: play the recording back
sleep 4
shot 4-ask
xdotool key Tab space   # heard
shot 5-saved
[ "$(tr -d '\r' <"$work/Config.ini")" = "$(printf '[Config]\nRecording Source=1\nSave Position=%s\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050' "$work/Brel.wav")" ] ||
    fail "Config.ini after heard: $(cat "$work/Config.ini")"
xdotool key space   # Done
main="$(window Trelvik)" || fail "the main window did not appear after Done"
[ -z "$(xdotool search --onlyvisible --name '^Sound Card Setting$' 2>/dev/null)" ] || fail "the wizard is still shown"
sleep 0.4
import -window "$main" "$shots/wizard-6-main.png"
close_window "$main"
ends_with 0
grep -q '^Recording Volume=32768$' "$work/Config.ini" || fail "the level is not the middle of the range: $(cat "$work/Config.ini")"
echo PASS
