#!/usr/bin/env bash
# The real program under Xvfb, read and driven over the accessibility bus as a screen reader does:
# every label reads what it shows (the format, the size and time of a running recording as they
# change, the level, the data rate, the encoder options, the wizard's message, the About and Location
# texts), each window reads as a window or dialog, and the recordings list's context menu can be read
# and chosen from while it is open.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
cleanup() {
    # Every step runs even when one fails (a program that already died): the buses and servers
    # this test started must not outlive it.
    set +e
    [ -n "$pid" ] && kill -9 "$pid" 2>/dev/null
    stop_accessibility
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

# Fails unless the control's description is this text.
described() { # window role name description
    local seen
    seen="$(a11y --window "$1" description "$2" "$3")" || fail "no $2 '$3' in the window '$1'"
    [ "$seen" = "$4" ] || fail "the $2 '$3' in '$1' is described as '$seen', not '$4'"
}

# Opens a window from the main window's menus through the accessibility bus and checks that it
# reads as a dialog with this title.
open_dialog() { # menu-item title
    a11y --window Trelvik press "menu item" "$1" || fail "could not choose \"$1\""
    a11y wait dialog "$2" --showing || {
        a11y dump | grep -F "'$2'" | head -n 1
        fail "the window \"$2\" does not read as a dialog"
    }
}

start_accessibility

# A first run: the wizard is a window, and its message is what a screen reader reads.
mkdir -p "$work/first"
"$bin" --home "$work/first" &
pid=$!
wizard="$(window "Sound Card Setting")" || fail "the wizard did not appear"
a11y wait frame "Sound Card Setting" --showing || {
    a11y dump | grep -F "'Sound Card Setting'" | head -n 1
    fail "the wizard does not read as a window"
}
a11y --window "Sound Card Setting" wait label "Program is preparing to configure your sound card settings." ||
    fail "the wizard's message cannot be read"
close_window "$wizard"
ends_with 0

mkdir -p "$work/home"
printf '[Config]\nRecording Source=1\nRecording Volume=32768\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the main window did not appear"

# Idle, the panel reads the recording format; what the panel is for is its description.
panel_purpose="Recording format, size and time"
a11y --window Trelvik wait label "22050  Hz   16  Bit" || fail "the panel's format cannot be read"
described Trelvik label "22050  Hz   16  Bit" "$panel_purpose"
shown="$(a11y --window Trelvik text label "~Recording volume setting :[0-9]+")" || fail "the level label cannot be read"
[ "$shown" = "Recording volume setting :32768" ] || fail "the level label reads '$shown'"

# Recording, the panel reads the size and time, and announces each change. 22050 Hz, 2 channels,
# 16 bits: 0.084 MB a second.
xdotool windowfocus --sync "$main"
xdotool key F9
size_time="~[0-9]+\.[0-9]{3} MB [0-9]+:[0-9]{2}"
heard="$(a11y --window Trelvik --timeout 15 announced label "$size_time" --count 3)" ||
    fail "the recording's size and time were not announced: '$heard'"
echo "announced: $(tr '\n' '|' <<<"$heard")"
previous=
while read -r size unit clock; do
    [ "$unit" = MB ] || fail "announced '$size $unit $clock'"
    seconds=$(( 10#${clock%%:*} * 60 + 10#${clock##*:} ))
    expected="$(awk -v s="$seconds" 'BEGIN { printf "%.3f", 0.084 * s }')"
    [ "$size" = "$expected" ] || fail "at $clock the panel reads $size MB, not $expected MB"
    [ "$clock" != "$previous" ] || fail "the time $clock was announced twice"
    previous="$clock"
done <<<"$heard"
described Trelvik label "$size_time" "$panel_purpose"
# A screen reader that reads the panel again, without listening, gets the new text.
now="$(a11y --window Trelvik text label "$size_time")" || fail "the panel cannot be read while recording"
a11y --window Trelvik wait label "~(?!${now//./\\.}\$)${size_time#\~}" || fail "the panel stays at '$now' while recording"
xdotool key F11
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the recording is not in the list"

# Each secondary window, opened from the menus, is a dialog whose labels read what they show.
open_dialog "Preferences..." Preferences
a11y --window Preferences wait label "5.047  MB/min" || fail "the data rate cannot be read"
described Preferences label "5.047  MB/min" "Byte Rate"
a11y --window Preferences press "radio button" Mono || fail "could not choose Mono"
a11y --window Preferences wait label "2.523  MB/min" || fail "the data rate for mono cannot be read"
a11y --window Preferences press "radio button" Stereo || fail "could not choose Stereo"
a11y --window Preferences wait label "5.047  MB/min" || fail "the data rate for stereo cannot be read"
a11y --window Preferences press "push button" Cancel || fail "could not cancel Preferences"
a11y gone dialog Preferences || fail "Preferences did not close"

open_dialog "MP3 Options" "MP3 Options"
a11y --window "MP3 Options" wait label " -b 128 -m j" || fail "the encoder options cannot be read"
described "MP3 Options" label " -b 128 -m j" "Current Lame Options"
a11y --window "MP3 Options" press "push button" Cancel || fail "could not cancel MP3 Options"
a11y gone dialog "MP3 Options" || fail "MP3 Options did not close"

open_dialog "Location..." Location
for text in "Enter an Internet location to open here:" "For Example: http://www.example.com/song.mp3"; do
    a11y --window Location wait label "$text" || fail "'$text' cannot be read in Location"
done
a11y --window Location press "push button" Cancel || fail "could not cancel Location"
a11y gone dialog Location || fail "Location did not close"

open_dialog "About Trelvik" "About Trelvik"
for text in "Trelvik Ver 1. 70" "Copyright (C) 2026 Trelvik. All rights reserved." "Support Email:" \
    "help@trelvik.example" "Homepage:" "http://www.trelvik.example/"; do
    a11y --window "About Trelvik" wait label "$text" || fail "'$text' cannot be read in About"
done
close_window "$(window "About Trelvik")"
a11y gone dialog "About Trelvik" || fail "About did not close"

# The context menu, opened by the menu key on the playing recording, lists its items while it is
# open; "Stop playing" chosen through the bus stops the playing and closes the menu.
xdotool windowraise "$main"
xdotool windowfocus --sync "$main"
xdotool mousemove --window "$main" 60 70 click 1
xdotool key Return
a11y --window Trelvik wait text Status --text "Recording is playing now........" || fail "the recording does not play"
xdotool key Menu
a11y wait "menu item" "Stop playing" --showing || fail "the open context menu is not on the accessibility bus"
items="$(a11y children "popup menu" "")" || fail "the context menu's items cannot be read"
expected_items="$(printf '%s\n' "menu item	Stop playing" "separator	" "menu item	Remove selected item" \
    "menu item	Delete output file" "menu item	Convert wav to mp3" "separator	" "menu item	Mail to friends" \
    "separator	" "menu item	Cancel")"
[ "$items" = "$expected_items" ] || fail "the context menu reads: $(tr '\n\t' '|:' <<<"$items")"
a11y press "menu item" "Stop playing" || fail "could not choose \"Stop playing\""
a11y --window Trelvik wait text Status --text "Playback has stopped" || fail "\"Stop playing\" did not stop the playing"
a11y gone "menu item" "Stop playing" || fail "the context menu stayed open after \"Stop playing\""

# Opened by a right click, the menu is there too, and "Cancel" closes it.
xdotool mousemove --window "$main" 60 70 click 3
a11y wait "menu item" Cancel --showing || fail "the context menu opened by a right click is not on the bus"
a11y press "menu item" Cancel || fail "could not choose \"Cancel\""
a11y gone "menu item" Cancel || fail "the context menu stayed open after \"Cancel\""
a11y --window Trelvik wait "list item" "~01 .*/take\.wav" || fail "the recording left the list"

close_window "$main"
ends_with 0
echo PASS
