#!/usr/bin/env bash
# The real program under Xvfb and the real sound server: a recording is made and played, every
# secondary window is opened from the menus, each window is photographed, the Timer window closes by
# keyboard (its Close button reached by Tab, and Escape), and closing the main window with all of them
# open and the file playing ends the program with status 0, stores the level and frees F9, F10 and
# F11 at once.
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
player=
cleanup() {
    # Every step runs even when one fails (a program that already died): the buses and servers
    # this test started must not outlive it.
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    [ -n "$player" ] && kill "$player" 2>/dev/null
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Opens a menu of the menu bar by a click on its title, picks its n-th item by keyboard and waits
# for the window that item opens.
menu() { # x-of-title n item window-title
    # No window manager places the windows: each new one opens over the main window's corner.
    xdotool windowraise "$main"
    xdotool windowfocus --sync "$main"
    xdotool mousemove --window "$main" "$1" 10 click 1
    a11y --window Trelvik wait "menu item" "$3" --showing || fail "the menu with \"$3\" did not open"
    xdotool key --repeat "$2" Down
    xdotool key Return
    window "$4" >/dev/null || fail "the window \"$4\" did not open"
}

sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 30 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
player=$!
start_accessibility
mkdir -p "$work/home"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"
xdotool windowfocus --sync "$main"
xdotool key F9
# 22050 Hz, 2 channels, 16 bits: 88200 bytes a second.
wait_recorded "$work" 3 88200
xdotool key F11
for _ in $(seq 50); do [ -s "$work/take.wav" ] && break; sleep 0.1; done
[ -s "$work/take.wav" ] || fail "nothing was recorded"
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the recording is not in the list"

# Play the recording: select its item and activate it from the keyboard.
xdotool mousemove --window "$main" 60 70 click 1
xdotool key Return
a11y --window Trelvik wait text Status --text "Recording is playing now........" || fail "the recording does not play"
shot "$main" "$shots/main-playing.png"

menu 68 1 "Preferences..." "Preferences"   # Options, Preferences...
menu 68 2 "Timer..." "Timer"               # Options, Timer...
menu 130 1 "MP3 Options" "MP3 Options"     # Encoder, MP3 Options
menu 20 3 "Location..." "Location"         # File, Location...
menu 183 3 "About Trelvik" "About Trelvik" # Help, About Trelvik
for title in "Preferences" "Timer" "MP3 Options" "Location" "About Trelvik"; do
    id="$(window "$title")" || fail "the window \"$title\" did not open"
    # Xvfb keeps no contents of covered windows: raise each one before the picture.
    xdotool windowraise "$id"
    shot "$id" "$shots/window-$(tr ' .' '--' <<<"$title").png"
done

# The Timer window takes the keyboard back on its first control, from where Shift+Tab goes round to
# Close, and Space on it closes the window. Opened again, Escape closes it.
timer_focused() {
    local id
    id="$(window Timer)" || fail "the Timer window is not open"
    xdotool windowraise "$id"
    xdotool windowfocus --sync "$id"
}
timer_focused
xdotool key shift+Tab
a11y --window Timer wait "push button" Close --focused || fail "Shift+Tab from the first control does not reach Close"
xdotool key space
a11y gone dialog Timer || fail "Close, pressed by keyboard, did not close the Timer window"
menu 68 2 "Timer..." "Timer"
timer_focused
xdotool key Escape
a11y gone dialog Timer || fail "Escape did not close the Timer window"
# Open again, with the others, when the main window closes.
menu 68 2 "Timer..." "Timer"

close_window "$main"
ends_with 0
grep -q '^Recording Volume=65536' "$work/home/Config.ini" || fail "Recording Volume not stored"
for key in F9 F10 F11; do
    "$TRELVIK_TESTS_BIN_DIR/xgrab" "$key" || fail "$key is still held after exit"
done
echo PASS
