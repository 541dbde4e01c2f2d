#!/usr/bin/env bash
# The real program with a stand-in for the desktop portal's global shortcuts on a private session
# bus: it binds record, pause and stop with F9, F10 and F11 through the portal instead of grabbing
# the keys, the desktop's presses record, pause, resume and stop, and a second start finds its
# shortcuts kept and binds nothing, so the desktop asks the user only once.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
tools="$TRELVIK_TESTS_BIN_DIR"
work="$(mktemp -d)"
pid=
others=()
cleanup() {
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    for p in "${others[@]}"; do kill "$p" 2>/dev/null; done
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
rate=$((22050 * 4))
log="$work/portal.log"

# How many calls of a method the stand-in has seen.
calls() { python3 -c 'import json,sys; print(sum(1 for l in open(sys.argv[1]) if json.loads(l)["method"] == sys.argv[2]))' "$log" "$1"; }
wait_calls() { # method count
    for _ in $(seq 100); do [ "$(calls "$1")" -ge "$2" ] && return 0; sleep 0.1; done
    fail "the portal saw $(calls "$1") $1, not $2: $(cat "$log")"
}
press() { dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
    org.trelvik.TestPortal.Activate "string:$1" >/dev/null || fail "the stand-in could not press $1"; }
state_is() {
    for _ in $(seq 100); do [ "$("$bin" --command status 2>/dev/null)" = "$1" ] && return 0; sleep 0.1; done
    fail "the program is $("$bin" --command status) after the portal's press, not $1"
}

# The accessibility bus comes with a private session bus; the stand-in portal joins it.
start_accessibility
: >"$log"
/usr/bin/python3 "$TRELVIK_SOURCE_DIR/tests/app/portal_standin.py" "$log" &
others+=($!)
wait_calls ready 1

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"

# First start: one session, the list is empty, all three are bound with their keys.
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the window did not appear"
wait_calls BindShortcuts 1
python3 - "$log" <<'EOF' || fail "the shortcuts bound: $(grep BindShortcuts "$log")"
import json, sys
calls = [json.loads(line) for line in open(sys.argv[1])]
bind = [c for c in calls if c["method"] == "BindShortcuts"][0]
got = {key: props.get("preferred_trigger") for key, props in bind["shortcuts"]}
assert got == {"record": "F9", "pause": "F10", "stop": "F11"}, got
assert all(props.get("description") for _, props in bind["shortcuts"]), bind
listed = [c for c in calls if c["method"] == "ListShortcuts"]
assert len(listed) == 1 and listed[0]["listed"] == [] and listed[0]["session"] == bind["session"], listed
EOF
# The portal has the keys: the program leaves them to the desktop instead of grabbing them.
"$tools/xgrab" F9 || fail "the program grabbed F9 although the portal bound it"
a11y --window Trelvik wait text Status --text "Please read help files before starting program." ||
    fail "the status line does not show the start text: $(a11y --window Trelvik text text Status)"

# The desktop's presses act as the keys do.
press record
state_is recording
wait_recorded "$work/rec" 2 "$rate"
press pause
state_is paused
press pause
state_is recording
press stop
state_is idle
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the take is not in the list"
d="$(soxi -D "$work/rec/take.wav")"
awk -v d="$d" 'BEGIN { exit !(d >= 1.8) }' || fail "take.wav lasts $d s"
"$bin" --command quit
ends_with 0

# Second start: the desktop lists the kept shortcuts, and nothing is bound again.
"$bin" --home "$work/home" &
pid=$!
window Trelvik >/dev/null || fail "the window did not appear the second time"
wait_calls ListShortcuts 2
press record
state_is recording
wait_recorded "$work/rec" 0.5 "$rate"
press stop
state_is idle
[ "$(calls BindShortcuts)" -eq 1 ] || fail "the second start bound again: $(grep BindShortcuts "$log")"
[ "$(calls CreateSession)" -eq 2 ] || fail "$(calls CreateSession) sessions for two starts"
[ -f "$work/rec/take_1.wav" ] || fail "the second take was not saved"
"$bin" --command quit
ends_with 0
wait_calls Session.Close 2
echo "PASS"
