#!/usr/bin/env bash
# The real program and the real sound server: the chosen source is kept by name, so when another
# default source moves it to another place in the list, the program still records from it.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
player=
module=
previous="$(pactl get-default-source)"
cleanup() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    [ -z "$player" ] || kill "$player" 2>/dev/null || true
    pactl set-default-source "$previous" || true
    [ -z "$module" ] || pactl unload-module "$module" || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
rate=$((22050 * 4))

module="$(pactl load-module module-null-sink sink_name=trelvik_chosen rate=44100)"
pactl set-default-source "$sink.monitor"
# Chosen as the second source of the list: the default first, then the monitors by name.
mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=2\nRecording Source Name=trelvik_chosen.monitor\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"

# Another default moves it to the first place: the second is now the test sink's monitor, where
# nothing plays.
pactl set-default-source trelvik_chosen.monitor
pactl list short sources | grep -q 'trelvik_chosen.monitor' || fail "the chosen source is not listed"
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 30 sine 440 vol 0.5
paplay --device=trelvik_chosen "$work/tone.wav" &
player=$!

"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
xdotool key F9
wait_recorded "$work/rec" 2 "$rate"
xdotool key F11
for _ in $(seq 100); do [ -s "$work/rec/take.wav" ] && break; sleep 0.1; done
[ -s "$work/rec/take.wav" ] || fail "nothing was recorded"
rms="$(sox "$work/rec/take.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "the take is silent (RMS $rms): it was not recorded from the chosen source"
painted "$main"
close_window "$main"
ends_with 0
echo PASS
