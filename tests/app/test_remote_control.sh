#!/usr/bin/env bash
# The real program on a private session bus, driven by "trelvik --command" as a desktop's keyboard
# settings or a script would: record, pause, resume and stop with the files checked, status in each
# state, "not running" and its exit status, chained commands, and a second start that brings the
# first forward instead of starting a second recorder.
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
    for p in "${others[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
rate=$((22050 * 4))
command() { "$bin" --command "$@"; }

bus="$(trelvik_private_bus)" || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
others+=("$(sed -n 2p <<<"$bus")")

# Nobody answers yet.
status=0
out="$(command status)" || status=$?
[ "$out" = "not running" ] && [ "$status" -ne 0 ] || fail "status without a program: \"$out\", exit $status"
status=0
command record >/dev/null 2>&1 || status=$?
[ "$status" -ne 0 ] || fail "record without a program exited 0"
status=0
"$bin" --command dance >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "an unknown command exited $status, not 2"

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the window did not appear"
for _ in $(seq 100); do [ "$(command status 2>/dev/null)" = "idle" ] && break; sleep 0.1; done
[ "$(command status)" = "idle" ] || fail "status of a fresh program: $(command status)"

# Commands act as the hot keys do, and do nothing where the hot key would do nothing.
command stop
command pause
[ "$(command status)" = "idle" ] || fail "stop and pause while idle changed the state"
command record
[ "$(command status)" = "recording" ] || fail "record did not start a take"
command record
wait_recorded "$work/rec" 2 "$rate"
command pause
[ "$(command status)" = "paused" ] || fail "pause did not pause"
[ "$(command pause+status)" = "recording" ] || fail "pause did not resume"
wait_recorded "$work/rec" 3 "$rate"
[ "$(command stop+status)" = "idle" ] || fail "stop did not stop"
[ -s "$work/rec/take.wav" ] || fail "the take was not saved as take.wav"
duration="$(soxi -D "$work/rec/take.wav")"
awk -v d="$duration" 'BEGIN { exit !(d >= 2.9 && d < 6) }' || fail "the take lasts $duration s"
[ ! -e "$work/rec/take_1.wav" ] || fail "a second record made a second take"

# toggle records when idle and stops otherwise.
command toggle
[ "$(command status)" = "recording" ] || fail "toggle did not record"
wait_recorded "$work/rec" 1 "$rate"
command toggle
[ "$(command status)" = "idle" ] || fail "toggle did not stop"
[ -s "$work/rec/take_1.wav" ] || fail "the toggled take was not saved"

# A second start brings the first forward and ends at once; no second recorder runs.
xdotool windowminimize --sync "$main" 2>/dev/null || true
status=0
timeout 10 "$bin" --home "$work/home" || status=$?
[ "$status" -eq 0 ] || fail "the second start exited $status"
[ "$(pgrep -fc -- "trelvik --home $work/home")" = 1 ] || fail "a second program runs"
for _ in $(seq 50); do xwininfo -id "$main" | grep -q IsViewable && break; sleep 0.1; done
xwininfo -id "$main" | grep -q IsViewable || fail "the running window was not brought forward"

# quit ends the program as the close box does; then nobody answers.
command quit
ends_with 0
[ "$(command status || true)" = "not running" ] || fail "status after quit"
echo PASS
