#!/usr/bin/env bash
# The real program on X11 with a stand-in for the desktop portal's global shortcuts on a private
# session bus: it grabs F9, F10 and F11 itself and leaves the portal alone; when another program holds
# F9, it asks the portal for that key alone, under the same session token at every start, and the
# desktop's presses record while F10 and F11 pause, resume and stop; a second start finds the shortcut
# kept and binds nothing, so the desktop asks the user only once.
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
start_program() {
    "$bin" --home "$work/home" &
    pid=$!
    main="$(window Trelvik)" || fail "the window did not appear"
    for _ in $(seq 100); do [ "$("$bin" --command status 2>/dev/null)" = idle ] && break; sleep 0.1; done
}
saved() { # file
    a11y --window Trelvik wait "list item" "~.*/$1" || fail "$1 is not in the list"
    d="$(soxi -D "$work/rec/$1")"
    awk -v d="$d" 'BEGIN { exit !(d >= 0.4) }' || fail "$1 lasts $d s"
}

# Nobody holds the keys: the program grabs them, and the portal is not asked for anything.
start_program
"$tools/xgrab" F9 && fail "the program did not grab F9"
xdotool key F9
state_is recording
wait_recorded "$work/rec" 1 "$rate"
xdotool key F11
state_is idle
saved take.wav
[ "$(calls CreateSession)" -eq 0 ] || fail "the program asked the portal although it holds its keys: $(cat "$log")"
"$bin" --command quit
ends_with 0

# Another program holds F9: the program grabs F10 and F11 and asks the portal for F9 alone, which
# the desktop assigns.
"$tools/xgrab" F9 --hold >"$work/held" &
others+=($!)
for _ in $(seq 100); do grep -q held "$work/held" && break; sleep 0.1; done
grep -q held "$work/held" || fail "the other program did not get F9"
start_program
wait_calls BindShortcuts 1
python3 - "$log" <<'PY' || fail "the shortcuts bound: $(grep BindShortcuts "$log")"
import json, sys
calls = [json.loads(line) for line in open(sys.argv[1])]
bind = [c for c in calls if c["method"] == "BindShortcuts"][0]
got = {key: props.get("preferred_trigger") for key, props in bind["shortcuts"]}
assert got == {"record": "F9"}, got
assert all(props.get("description") for _, props in bind["shortcuts"]), bind
listed = [c for c in calls if c["method"] == "ListShortcuts"]
assert len(listed) == 1 and listed[0]["listed"] == [] and listed[0]["session"] == bind["session"], listed
# The same session token at every start: the desktop keeps what the user assigns.
assert bind["session"].endswith("/trelvik"), bind["session"]
PY
"$tools/xgrab" F10 && fail "the program did not grab F10"
# Every key reaches the program: nothing is said about them.
a11y --window Trelvik wait text Status --text "Please read help files before starting program." ||
    fail "the status line says: $(a11y --window Trelvik text text Status)"
press record
state_is recording
wait_recorded "$work/rec" 1 "$rate"
xdotool key F10
state_is paused
xdotool key F10
state_is recording
xdotool key F11
state_is idle
saved take_1.wav
"$bin" --command quit
ends_with 0

# Second start: the desktop lists the kept shortcut, and nothing is bound again.
start_program
wait_calls ListShortcuts 2
press record
state_is recording
wait_recorded "$work/rec" 0.5 "$rate"
xdotool key F11
state_is idle
[ "$(calls BindShortcuts)" -eq 1 ] || fail "the second start bound again: $(grep BindShortcuts "$log")"
[ "$(calls CreateSession)" -eq 2 ] || fail "$(calls CreateSession) sessions for two starts"
saved take_2.wav
"$bin" --command quit
ends_with 0
wait_calls Session.Close 2
echo "PASS"
