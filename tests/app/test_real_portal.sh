#!/usr/bin/env bash
# The real program with Debian's own desktop portal stack of KDE Plasma (xdg-desktop-portal,
# xdg-desktop-portal-kde and kglobalaccel), started by D-Bus activation on a private session bus as a
# Plasma session starts them. That portal answers a bind from a program without an app id with no
# shortcuts at all. On X11 F9 records all the same: the program grabs its keys, and asks the portal
# only for a key another program holds, which it names on the status line when the desktop assigns
# none. On Wayland (a headless Weston) the status line names the three unassigned hot keys and says
# what to do.
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

services=(org.freedesktop.portal.Desktop org.freedesktop.impl.portal.desktop.kde org.kde.kglobalaccel
    org.freedesktop.impl.portal.PermissionStore)
mkdir -p "$work/services"
for service in "${services[@]}"; do
    if [ ! -f "/usr/share/dbus-1/services/$service.service" ]; then
        [ -n "${TRELVIK_TEST_SINK:-}" ] && fail "$service is not installed (xdg-desktop-portal-kde, libkf5globalaccel-bin)"
        echo "SKIP: $service is not installed"
        exit 77
    fi
    cp "/usr/share/dbus-1/services/$service.service" "$work/services/"
done
if ! command -v weston >/dev/null || ! compgen -G '/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so' >/dev/null; then
    [ -n "${TRELVIK_TEST_SINK:-}" ] && fail "weston or qt6-wayland is not installed"
    echo "SKIP: no weston or qt6-wayland"
    exit 77
fi

# A Plasma session as the portal sees it. The services the bus starts inherit this environment;
# kglobalaccel keeps its shortcuts in a configuration folder of the test's.
export XDG_CURRENT_DESKTOP=KDE XDG_CONFIG_HOME="$work/config"
mkdir -p "$XDG_CONFIG_HOME"
start_accessibility "$work/services"

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
mkdir -p "$work/home" "$work/rec"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/rec/take.wav" >"$work/home/Config.ini"
state_is() {
    for _ in $(seq 100); do [ "$("$bin" --command status 2>/dev/null)" = "$1" ] && return 0; sleep 0.1; done
    fail "the program is $("$bin" --command status), not $1"
}
started() {
    for _ in $(seq 100); do [ "$("$bin" --command status 2>/dev/null)" = idle ] && return 0; sleep 0.1; done
    fail "the program does not answer"
}
status_is() { # text
    a11y --window Trelvik --timeout 20 wait text Status --text "$1" ||
        fail "the status line says: $(a11y --window Trelvik text text Status)"
}

# X11: F9 records, F10 pauses, F11 stops, with the KDE portal on the session bus.
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the window did not appear"
started
xdotool key F9
state_is recording
wait_recorded "$work/rec" 1 "$rate"
xdotool key F10
state_is paused
xdotool key F11
state_is idle
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the take is not in the list"
"$bin" --command quit
ends_with 0

# Another program holds F9: the program asks the portal for it, the portal answers and assigns
# nothing (without the portal the line would say only that another program holds F9), and the status
# line says so; F10 and F11 are the program's all the same.
"$tools/xgrab" F9 --hold >"$work/held" &
others+=($!)
for _ in $(seq 100); do grep -q held "$work/held" && break; sleep 0.1; done
grep -q held "$work/held" || fail "the other program did not get F9"
"$bin" --home "$work/home" &
pid=$!
window Trelvik >/dev/null || fail "the window did not appear the second time"
status_is 'Global hot keys are not available: another program holds Record (F9), and the desktop assigned no other key. Bind keys to "trelvik --command toggle", "pause" and "stop" in the desktop'"'"'s keyboard settings (see Help).'
"$bin" --command record
state_is recording
xdotool key F11
state_is idle
"$bin" --command quit
ends_with 0

# Wayland: no key can be grabbed, the portal assigns none, and the status line names all three.
socket="trelvik-wayland-$$"
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 >"$work/weston.log" 2>&1 &
others+=($!)
for _ in $(seq 100); do [ -S "$XDG_RUNTIME_DIR/$socket" ] && break; sleep 0.1; done
[ -S "$XDG_RUNTIME_DIR/$socket" ] || { cat "$work/weston.log"; fail "weston did not start"; }
[ -z "${ASAN_OPTIONS:-}" ] || export ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0"
env -u DISPLAY QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY="$socket" "$bin" --home "$work/home" >"$work/out.log" 2>&1 &
pid=$!
a11y --timeout 20 wait frame Trelvik --showing || { cat "$work/out.log"; fail "the window did not appear on Wayland"; }
status_is 'The desktop has assigned no key to Record (F9), Pause (F10) and Stop (F11): assign one in its shortcut settings, where Trelvik is listed, or bind "trelvik --command toggle", "pause" and "stop" to keys there (see Help).'
env -u DISPLAY "$bin" --command quit
ends_with 0
echo PASS
