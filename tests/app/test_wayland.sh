#!/usr/bin/env bash
# The real program on a Wayland desktop with no X server (a headless Weston) and no global shortcuts
# service: it starts, says once that global hot keys are not available and how to get them, and
# records through "trelvik --command", which is what the user binds to keys instead. A desktop whose
# portal the user turns down gets the same notice. With a stand-in portal: a desktop that assigns
# all three keys drives the recording with them; one that assigns two has the third named on the
# status line, and a key it assigns later works and is told.
set -euo pipefail
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
if ! command -v weston >/dev/null || ! compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null; then
    [ -n "${TRELVIK_TEST_SINK:-}" ] && { echo "FAIL: weston or qt6-wayland is not installed"; exit 1; }
    echo "SKIP: no weston or qt6-wayland"
    exit 77
fi
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
bin="$TRELVIK_BIN_DIR/trelvik"
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
# What the stand-in portal was asked and answered, and what the program wrote, go with a failure:
# a rare one cannot be run again to see them.
fail() {
    echo "FAIL: $*"
    [ -s "$work/portal.log" ] && { echo "--- the stand-in portal's log:"; tail -n 30 "$work/portal.log"; }
    [ -s "$work/out.log" ] && { echo "--- the program's output:"; tail -n 20 "$work/out.log"; }
    exit 1
}
rate=$((22050 * 4))
command() { env -u DISPLAY "$bin" --command "$@"; }

# A compositor of its own, its socket beside the sound server's in the runtime folder.
socket="trelvik-wayland-$$"
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 >"$work/weston.log" 2>&1 &
others+=($!)
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/$socket" ] && break; sleep 0.1; done
[ -S "$XDG_RUNTIME_DIR/$socket" ] || { cat "$work/weston.log"; fail "weston did not start"; }

# A session bus with the accessibility bus on it, and no portal.
start_accessibility

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
mkdir -p "$work/home" "$work/rec"
# In a sanitizer build the leak check is off for the program on Wayland: libwayland-client and the
# EGL driver Qt's Wayland plugin loads leave allocations at exit (the driver is unloaded by then, so
# no suppression can name it). Our own code's leaks are checked by the tests on X11 and offscreen.
[ -z "${ASAN_OPTIONS:-}" ] || export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
env -u DISPLAY QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$socket" "$bin" --home "$work/home" >"$work/out.log" 2>&1 &
pid=$!
a11y --timeout 20 wait frame Trelvik --showing || { cat "$work/out.log"; fail "the window did not appear on Wayland"; }
grep -qi "xcb\|could not connect to display" "$work/out.log" && fail "the program looked for X: $(cat "$work/out.log")"

notice='Global hot keys are not available: the desktop offers no global shortcuts service. Bind keys to "trelvik --command toggle", "pause" and "stop" in the desktop'"'"'s keyboard settings (see Help).'
a11y --window Trelvik wait text Status --text "$notice" ||
    fail "the status line does not say that there are no global hot keys: $(a11y --window Trelvik text text Status)"

# What the user binds to keys instead: toggle starts, pause pauses and resumes, toggle stops.
command toggle
[ "$(command status)" = recording ] || fail "toggle did not start a take: $(command status)"
wait_recorded "$work/rec" 2 "$rate"
command pause
[ "$(command status)" = paused ] || fail "pause did not pause: $(command status)"
command pause
[ "$(command status)" = recording ] || fail "pause did not resume: $(command status)"
command toggle
for _ in $(seq 100); do [ "$(command status)" = idle ] && break; sleep 0.1; done
[ "$(command status)" = idle ] || fail "toggle did not stop the take: $(command status)"
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the take is not in the list"
d="$(soxi -D "$work/rec/take.wav")"
awk -v d="$d" 'BEGIN { exit !(d >= 1.8) }' || fail "take.wav lasts $d s"
rms="$(sox "$work/rec/take.wav" -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')"
awk -v r="$rms" 'BEGIN { exit !(r > 0.05) }' || fail "take.wav holds no sound (RMS $rms)"
command quit
ends_with 0

# A stand-in for the desktop portal on the session bus, in place of the one before.
standin=
start_portal() { # options...
    [ -z "$standin" ] || { kill "$standin"; wait "$standin" 2>/dev/null || true; }
    : >"$work/portal.log"
    /usr/bin/python3 "$TRELVIK_SOURCE_DIR/tests/app/portal_standin.py" "$work/portal.log" "$@" &
    standin=$!
    others+=($!)
    for _ in $(seq 100); do grep -q '"ready"' "$work/portal.log" && break; sleep 0.1; done
    grep -q '"ready"' "$work/portal.log" || fail "the stand-in portal did not start"
}
start_program() {
    env -u DISPLAY QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$socket" "$bin" --home "$work/home" >"$work/out.log" 2>&1 &
    pid=$!
    a11y --timeout 20 wait frame Trelvik --showing || { cat "$work/out.log"; fail "the window did not appear on Wayland"; }
}
press() {
    dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
        org.trelvik.TestPortal.Activate "string:$1" >/dev/null || fail "the stand-in could not press $1"
}
state_is() {
    for _ in $(seq 100); do [ "$(command status 2>/dev/null)" = "$1" ] && return 0; sleep 0.1; done
    fail "the program is $(command status), not $1; the status line says: $(a11y --window Trelvik text text Status 2>&1)"
}
asked_to_bind() { grep -q '"BindShortcuts"' "$work/portal.log"; }
recording_now() { [ "$(command status)" = recording ]; }
# Nothing on screen tells when the program has taken the desktop's answer, so the desktop's Record
# is pressed again until it records: Record while recording is disabled, so a second press does
# nothing.
record_by_desktop() {
    for _ in $(seq 40); do
        press record
        trelvik_env_until recording_now && break
    done
    state_is recording
}

# A portal whose dialog the user turns down: the program says so, and keeps working.
start_portal --refuse
start_program
a11y --window Trelvik --timeout 20 wait text Status --text "${notice/the desktop offers no global shortcuts service/the desktop did not grant them}" ||
    fail "a refused portal is not told: $(a11y --window Trelvik text text Status)"
grep -q '"BindShortcuts"' "$work/portal.log" || fail "the program did not ask the portal: $(cat "$work/portal.log")"
command quit
ends_with 0

# A desktop that assigns all three keys: the desktop's presses record, pause and stop, and nothing
# is said about keys.
start_portal
start_program
trelvik_env_until asked_to_bind || true
a11y --window Trelvik wait text Status --text "Please read help files before starting program." ||
    fail "the status line says: $(a11y --window Trelvik text text Status)"
record_by_desktop
wait_recorded "$work/rec" 0.5 "$rate"
press pause
state_is paused
press stop
state_is idle
command quit
ends_with 0

# A desktop that assigns two of them: the third is named on the status line with what to do, and
# when the desktop assigns it a key later, the key works and the status line says so.
start_portal --assign record,stop
start_program
a11y --window Trelvik --timeout 20 wait text Status --text 'The desktop has assigned no key to Pause (F10): assign one in its shortcut settings, where Trelvik is listed, or bind "trelvik --command toggle", "pause" and "stop" to keys there (see Help).' ||
    fail "the key without a trigger is not named: $(a11y --window Trelvik text text Status)"
press record
state_is recording
# A press of a shortcut without a key does nothing: the command that follows it pauses, where it
# would resume after a pause.
press pause
command pause
state_is paused
press stop
state_is idle
dbus-send --session --print-reply --dest=org.freedesktop.portal.Desktop /org/freedesktop/portal/desktop \
    org.trelvik.TestPortal.Assign string:pause string:Ctrl+Alt+P >/dev/null || fail "the stand-in could not assign"
a11y --window Trelvik wait text Status --text "The desktop assigned Ctrl+Alt+P to Pause." ||
    fail "the key assigned later is not told: $(a11y --window Trelvik text text Status)"
press record
state_is recording
wait_recorded "$work/rec" 0.5 "$rate"
press pause
state_is paused
press stop
state_is idle
command quit
ends_with 0

# A desktop that answers each request at once, before its reply names the request: every answer is
# heard, though the reply of one request comes after the next has begun, and the keys work.
start_portal --answer-first
start_program
trelvik_env_until asked_to_bind || fail "the program stopped asking the portal: $(cat "$work/portal.log")"
record_by_desktop
press stop
state_is idle
command quit
ends_with 0
echo "PASS"
