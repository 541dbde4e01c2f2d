#!/usr/bin/env bash
# The real program under Xvfb: its options, a normal start and a first run, each ended by the close box.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
bin="$TRELVIK_BIN_DIR/trelvik"
shots="$TRELVIK_BIN_DIR/../screenshots"
mkdir -p "$shots"
work="$(mktemp -d)"
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"

# Options.
"$bin" --help | grep -q -- '--home DIR' || fail "--help"
[ "$("$bin" --version)" = "trelvik 1.70" ] || fail "--version"
echo x >"$work/plain"
status=0
"$bin" --home "$work/plain/sub" 2>"$work/err" || status=$?
[ "$status" -eq 2 ] || fail "--home that cannot be created gave status $status"
grep -q 'cannot be created' "$work/err" || fail "no message for --home: $(cat "$work/err")"
"$bin" --home "$work/new/deep folder" --version >/dev/null

# Normal start: the main window appears; closing it stores the level and ends with status 0.
mkdir -p "$work/normal"
printf '[Config]\r\nrecording volume=65536\r\nRecording Source=1\r\nChannels=2\r\nBitsPerSample=16\r\nSamplesPerSec=44100\r\n' >"$work/normal/Config.ini"
"$bin" --home "$work/normal" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
[ -z "$(xdotool search --onlyvisible --name '^Sound Card Setting$' 2>/dev/null)" ] || fail "the wizard appeared on a normal start"
painted "$main"
import -window root "$shots/main-window.png"
close_window "$main"
ends_with 0
grep -q '^Recording Volume=65536' "$work/normal/Config.ini" || fail "Recording Volume not written: $(cat "$work/normal/Config.ini")"
grep -q '^SamplesPerSec=44100' "$work/normal/Config.ini" || fail "other keys lost"

# First run: only the wizard appears; closing it ends the program and stores the source's own level
# alone, so the next start is a normal one with the main window.
"$bin" --home "$work/first" &
pid=$!
wizard="$(window "Sound Card Setting")" || fail "the wizard did not appear"
[ -z "$(xdotool search --onlyvisible --name '^Trelvik$' 2>/dev/null)" ] || fail "the main window is visible on a first run"
painted "$wizard"
import -window root "$shots/first-run.png"
close_window "$wizard"
ends_with 0
[ "$(grep -v '^\[Config\]$' "$work/first/Config.ini")" = "$(grep '^Recording Volume=[0-9]*$' "$work/first/Config.ini")" ] &&
    grep -q '^Recording Volume=' "$work/first/Config.ini" ||
    fail "Config.ini after the wizard was closed: $(cat "$work/first/Config.ini")"
"$bin" --home "$work/first" &
pid=$!
main="$(window Trelvik)" || fail "the start after a closed wizard was not a normal one"
[ -z "$(xdotool search --onlyvisible --name '^Sound Card Setting$' 2>/dev/null)" ] || fail "the wizard came back"
close_window "$main"
ends_with 0
echo "PASS"
