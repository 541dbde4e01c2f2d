#!/usr/bin/env bash
# The real program and the real sound server: the chosen source is kept by name, so when another
# default source moves it to another place in the list, the program still records from it; and when
# it is not connected, the default source records, no other device's level changes, and the status
# line says which source records instead.
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
    stop_accessibility
    pactl set-source-volume "$sink.monitor" 100% || true
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

# The chosen source is not connected, and another device now sits at its stored place: the default
# source records instead, that device's level stays as it was, and the status line says so.
start_accessibility
pactl set-source-volume "$sink.monitor" 40%
printf '[Config]\nRecording Source=2\nRecording Source Name=usb_mic_unplugged\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/stand-in.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
instead="$(pactl list sources | awk '$1 == "Name:" { name = $2 } $1 == "Description:" && name == "trelvik_chosen.monitor" { sub(/^[^:]*: /, ""); print; exit }')"
said="usb_mic_unplugged is not connected; recording from $instead"
a11y --window Trelvik wait text Status --text "$said" || fail "at start the status line says: $(a11y --window Trelvik text text Status)"
xdotool key F9
a11y --window Trelvik wait text Status --text "$said" || fail "recording, the status line says: $(a11y --window Trelvik text text Status)"
wait_recorded "$work/rec" 2 "$rate"
xdotool key F11
for _ in $(seq 100); do [ -s "$work/rec/stand-in.wav" ] && break; sleep 0.1; done
rms="$(sox "$work/rec/stand-in.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "the take is silent (RMS $rms): the default source did not record"
level="$(pactl get-source-volume "$sink.monitor" | awk 'NR == 1 { print $5 }')"
[ "$level" = "40%" ] || fail "the device at the stored place went from 40% to $level"
close_window "$main"
ends_with 0

# The chosen source goes away while the program runs, and comes back: the status line says so each
# time, and Record then records from the chosen source again (the default source is silent).
kill "$player" 2>/dev/null || true
wait "$player" 2>/dev/null || true
pactl set-default-source "$sink.monitor"
printf '[Config]\nRecording Source=2\nRecording Source Name=trelvik_chosen.monitor\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/back.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
# Once the program listens to the chosen source, it knows the sources.
chosen_index="$(pactl list short sources | awk '$2 == "trelvik_chosen.monitor" { print $1 }')"
listens() { pactl list short source-outputs | awk -v s="$chosen_index" '$2 == s { found = 1 } END { exit !found }'; }
trelvik_env_until listens || fail "the program does not listen to the chosen source"
pactl unload-module "$module"
module=
a11y --window Trelvik wait text Status --text '~trelvik_chosen\.monitor is not connected; recording from .+' ||
    fail "with the chosen source gone, the status line says: $(a11y --window Trelvik text text Status)"
module="$(pactl load-module module-null-sink sink_name=trelvik_chosen rate=44100)"
pactl set-default-source "$sink.monitor"
paplay --device=trelvik_chosen "$work/tone.wav" &
player=$!
a11y --window Trelvik wait text Status --text "trelvik_chosen.monitor is connected again." ||
    fail "with the chosen source back, the status line says: $(a11y --window Trelvik text text Status)"
xdotool key F9
wait_recorded "$work/rec" 2 "$rate"
xdotool key F11
trelvik_env_until test -s "$work/rec/back.wav" || fail "the take was not saved"
rms="$(sox "$work/rec/back.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "the take is silent (RMS $rms): the chosen source did not record after it came back"
close_window "$main"
ends_with 0
echo PASS
