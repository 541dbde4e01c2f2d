#!/usr/bin/env bash
# The real program under Xvfb, read and driven over the accessibility bus as a screen reader does:
# every label reads what it shows (the format, the size and time of a running recording as they
# change, the level, the data rate, the encoder options, the wizard's message, the About and Location
# texts), each window reads as a window or dialog, and the recordings list's context menu can be read
# and chosen from while it is open. In the Timer window every control has a name and is reached by
# Tab (a radio button's field once the arrows choose it), a timer set there by keyboard reads on the
# main window's status line and in the window, and cancelling it from the window or the menu says so.
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

# The Timer window is a dialog in which every control that takes the keyboard has a name.
open_dialog "Timer..." Timer
unnamed="$(a11y --window Timer dump | grep -E "^ *(push button|toggle button|radio button|check box|spin button|combo box|text|slider|scroll bar|list|table|tree|page tab) ''" || true)"
[ -z "$unnamed" ] || fail "controls in the Timer window without a name: $(tr '\n' '|' <<<"$unnamed")"
# Its time fields read the date and time or the hours, minutes and seconds they show.
for field in "Start at=[0-9]{4}-[0-9]{2}-[0-9]{2} " "Start after=" "Stop after=" "Stop at=[0-9]{4}-[0-9]{2}-[0-9]{2} "; do
    shown="$(a11y --window Timer text "spin button" "${field%%=*}")" || fail "the field \"${field%%=*}\" cannot be read"
    grep -qxE "${field#*=}[0-9]{2}:[0-9]{2}:[0-9]{2}" <<<"$shown" || fail "the field \"${field%%=*}\" reads '$shown'"
done

# The control the keyboard is on in the Timer window, as "role 'name'", after the name of the group
# it is in: two radio buttons read "At", "Start recording: radio button 'At'" and "Stop recording:
# radio button 'At'".
focused() {
    a11y --window Timer dump | awk -v q="'" '
        /^    panel / { group = $0; sub(/^    panel /, "", group); sub(/ \[.*/, "", group); group = substr(group, 2, length(group) - 2) }
        index($0, q "focused" q "]") {
            depth = match($0, /[^ ]/); line = $0; sub(/^ */, "", line); sub(/ \[[^]]*\].*$/, "", line)
            print (depth > 5 ? group ": " : "") line
        }'
}
is_focused() { [ "$(focused)" = "$1" ]; }
# Waits for the keyboard to be on this control in this group.
focus_in() { # group role name
    trelvik_env_until is_focused "$1: $2 '$3'" || fail "the keyboard is on $(focused), not on the $2 \"$3\" in \"$1\""
}
# Waits for the keyboard to be on this control (the first of its name).
focus_on() { # role name
    a11y --window Timer wait "$1" "$2" --focused || fail "the keyboard is on $(focused), not on the $1 \"$2\", in the Timer window"
}
# Presses Tab and waits for the keyboard to land on this control.
tab_to() { # role name
    xdotool key Tab
    focus_on "$1" "$2"
}
# Tabs a date or time field, entered at its first part, on to its last: Tab leaves it from there.
# It has as many parts as numbers it reads ("2026-12-24 21:30:00": six).
through_parts() { # name
    local parts
    parts="$(a11y --window Timer text "spin button" "$1" | tr -c '0-9' ' ' | wc -w)"
    [ "$parts" -gt 1 ] && xdotool key --repeat $((parts - 1)) Tab
    focus_on "spin button" "$1"
}
# Checks that the main window's status line keeps matching this pattern for this many seconds of the
# clock.
status_stays() { # extended-regex seconds
    local start seen
    start="$(date +%s.%N)"
    while awk -v s="$start" -v t="$(date +%s.%N)" -v w="$2" 'BEGIN { exit !(t - s < w) }'; do
        seen="$(a11y --window Trelvik text text Status)" || seen=
        grep -qxE "$1" <<<"$seen" || { echo "$seen"; return 1; }
    done
}
# Waits for the main window's status line to match this pattern, printing what it read last.
status_matches() { # extended-regex
    local _ seen
    for _ in $(seq 100); do
        seen="$(a11y --window Trelvik text text Status)" || seen=
        grep -qxE "$1" <<<"$seen" && return 0
        sleep 0.1
    done
    echo "$seen"
    return 1
}

# The keyboard starts on the chosen way to start, and Tab goes round the window top to bottom back
# to it. A group of radio buttons is one Tab stop, at its chosen button, as a screen reader user
# expects: the button Tab lands on says what is chosen.
xdotool windowfocus --sync "$(window Timer)"
focus_in "Start recording" "radio button" At
tab_to "spin button" "Start at"
through_parts "Start at"
tab_to "radio button" "After a duration"
tab_to "spin button" "Stop after"
through_parts "Stop after"
tab_to "check box" "Every day"
tab_to "push button" "Set"
tab_to "spin button" "Start above"
tab_to "spin button" "Stop after quiet for"
tab_to "radio button" "Pause the take while it is quiet"
tab_to "push button" "Arm"
tab_to "label" "Not armed."
tab_to "push button" "Close"
xdotool key Tab
focus_in "Start recording" "radio button" At

# The arrows choose the other radio buttons, and each enables its field for Tab to reach: a start an
# hour from now, a stop at a date and time, and at a size, whose number reads as its value.
xdotool key Up
focus_on "radio button" Now
a11y --window Timer wait "spin button" "Start at" --disabled || fail "choosing \"Now\" leaves the start time enabled"
xdotool key Down
focus_in "Start recording" "radio button" At
a11y --window Timer wait "spin button" "Start at" --enabled || fail "choosing \"At\" does not enable the start time"
xdotool key Down
focus_on "radio button" After
a11y --window Timer wait "spin button" "Start after" --enabled || fail "choosing \"After\" does not enable its delay"
tab_to "spin button" "Start after"
xdotool key Up
a11y --window Timer wait "spin button" "Start after" --text "01:10:00" || fail "Up does not add an hour to the delay"
xdotool key Tab
xdotool key --repeat 10 Down
a11y --window Timer wait "spin button" "Start after" --text "01:00:00" || fail "the delay does not read 01:00:00"
xdotool key Tab
tab_to "radio button" "After a duration"
xdotool key Up
focus_on "radio button" "By hand"
a11y --window Timer wait "spin button" "Stop after" --disabled || fail "choosing \"By hand\" leaves the duration enabled"
xdotool key Down
focus_on "radio button" "After a duration"
xdotool key Down
focus_in "Stop recording" "radio button" At
a11y --window Timer wait "spin button" "Stop at" --enabled || fail "choosing \"At\" to stop does not enable its date and time"
tab_to "spin button" "Stop at"
# Entered at its first part, Shift+Tab goes back to the radio button.
xdotool key shift+Tab
focus_in "Stop recording" "radio button" At
xdotool key Down
focus_on "radio button" "When the file reaches (MB)"
a11y --window Timer wait "spin button" "Stop at size in MB" --enabled || fail "choosing a size does not enable it"
tab_to "spin button" "Stop at size in MB"
a11y --window Timer wait "spin button" "Stop at size in MB" --value 700 || fail "the size does not read 700 as its value"
xdotool key Up
a11y --window Timer wait "spin button" "Stop at size in MB" --value 701 --text 701 || fail "the size does not read 701 after Up"
# "Every day" goes with a start at a time: Tab passes it by now.
a11y --window Timer wait "check box" "Every day" --disabled || fail "\"Every day\" stays enabled without a start time"
tab_to "push button" "Set"

# Set by Space, the timer reads on the status line, counting down from an hour, and in the window;
# "Cancel timer" in the window and in the Options menu become available, and Tab reaches the first.
xdotool key space
status_matches 'Timer set: recording starts in 59:[0-5][0-9]\.( .+)?' || fail "the status line does not count down the hour"
a11y --window Timer wait label "~Set: recording starts .+\." || fail "the Timer window does not say the timer is set"
a11y --window Trelvik wait "menu item" "Cancel Timer" --enabled || fail "\"Cancel Timer\" is not available in the menu"
tab_to "push button" "Cancel timer"
xdotool key space
status_matches 'The timer is cancelled\.' || fail "cancelling from the Timer window is not on the status line"
a11y --window Timer wait label "No timer is set." || fail "the Timer window still shows the timer after \"Cancel timer\""
a11y --window Timer wait "push button" "Cancel timer" --disabled || fail "\"Cancel timer\" stays available"
a11y --window Trelvik wait "menu item" "Cancel Timer" --disabled || fail "\"Cancel Timer\" stays available in the menu"
# The count-down, once a second, has stopped.
status_stays 'The timer is cancelled\.' 2.5 || fail "the status line counts down a cancelled timer"

# Set again by its access key, and cancelled from the Options menu.
xdotool key alt+s
status_matches 'Timer set: recording starts in 59:[0-5][0-9]\.( .+)?' || fail "Alt+S does not set the timer again"
a11y --window Timer wait label "~Set: recording starts .+\." || fail "the Timer window does not say the timer is set again"
a11y --window Trelvik press "menu item" "Cancel Timer" || fail "could not choose \"Cancel Timer\""
status_matches 'The timer is cancelled\.' || fail "cancelling from the menu is not on the status line"
a11y --window Timer wait label "No timer is set." || fail "the Timer window still shows the timer cancelled from the menu"
a11y --window Timer wait "push button" "Cancel timer" --disabled || fail "\"Cancel timer\" stays available after the menu's"
a11y --window Timer press "push button" Close || fail "could not close the Timer window"
a11y gone dialog Timer || fail "the Timer window did not close"

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
