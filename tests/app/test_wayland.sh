#!/usr/bin/env bash
# The real program on a Wayland desktop with no X server (a headless Weston) and no global shortcuts
# service: it starts, says once that global hot keys are not available and how to get them, and
# records through "trelvik --command", which is what the user binds to keys instead. A desktop whose
# portal the user turns down gets the same notice.
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
fail() { echo "FAIL: $*"; exit 1; }
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

# A portal whose dialog the user turns down: the program says so, and keeps working.
: >"$work/portal.log"
/usr/bin/python3 "$TRELVIK_SOURCE_DIR/tests/app/portal_standin.py" "$work/portal.log" --refuse &
others+=($!)
for _ in $(seq 100); do grep -q '"ready"' "$work/portal.log" && break; sleep 0.1; done
grep -q '"ready"' "$work/portal.log" || fail "the stand-in portal did not start"
env -u DISPLAY QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$socket" "$bin" --home "$work/home" >"$work/out.log" 2>&1 &
pid=$!
a11y --window Trelvik --timeout 20 wait text Status --text "${notice/the desktop offers no global shortcuts service/the desktop did not grant them}" ||
    fail "a refused portal is not told: $(a11y --window Trelvik text text Status)"
grep -q '"BindShortcuts"' "$work/portal.log" || fail "the program did not ask the portal: $(cat "$work/portal.log")"
command quit
ends_with 0
echo "PASS"
