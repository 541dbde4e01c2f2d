#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The tray icon of the real program where the desktop has a tray (a stand-in StatusNotifierWatcher
# on a private session bus, as KDE Plasma's tray): the program registers its item, whose tooltip
# says what it does (recording while a take runs) and whose menu holds Record, Pause, Stop, Timer
# and Show. The icon the tray shows, read as a tray host reads it (on registration and on the item's
# NewIcon and NewStatus signals), turns red while a take records and back to the idle icon after
# Stop. Without a tray nobody is asked to show an icon (the other tests run that way).
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
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

bus="$(trelvik_private_bus)" || fail "no session bus"
export DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
others+=("$(sed -n 2p <<<"$bus")")
/usr/bin/python3 "$TRELVIK_SOURCE_DIR/tests/app/tray_standin.py" "$work/tray.log" &
others+=($!)
trelvik_env_until eval 'grep -q ready "$work/tray.log" 2>/dev/null' || true
grep -q ready "$work/tray.log" || fail "the stand-in tray did not start"

mkdir -p "$work/home"
printf '[Config]\nRecording Source=1\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\nSave Position=%s\n' \
    "$work/take.wav" >"$work/home/Config.ini"
"$bin" --home "$work/home" &
pid=$!
main="$(window Trelvik)" || fail "the window did not appear"
trelvik_env_until eval 'grep -q RegisterStatusNotifierItem "$work/tray.log"' || true
item="$(sed -n 's/.*"method": "RegisterStatusNotifierItem", "sender": "\([^"]*\)".*/\1/p' "$work/tray.log" | head -n 1)"
[ -n "$item" ] || fail "no tray item was registered: $(cat "$work/tray.log")"
property() { # name
    gdbus call --session --dest "$item" --object-path /StatusNotifierItem \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$1"
}
tooltip_says() { # text
    local _
    for _ in $(seq 100); do property ToolTip | grep -qF "'$1'" && return 0; sleep 0.1; done
    return 1
}
tooltip_says "Trelvik" || fail "the tray's tooltip is not Trelvik: $(property ToolTip)"

# The icon the stand-in tray last read from the item: its status, the number of pixels that are not
# fully transparent, their mean red, green and blue, and the name of a theme icon shown instead of the
# picture (empty when there is none), separated by spaces.
icon() {
    /usr/bin/python3 -c '
import json, sys
last = None
for line in open(sys.argv[1], encoding="utf-8"):
    entry = json.loads(line)
    if entry.get("method") == "icon":
        last = entry
if last is None or "error" in last:
    sys.exit(1)
p = last["pixmap"] or {}
print(last["status"], p.get("covered", 0), p.get("red", 0), p.get("green", 0), p.get("blue", 0), last["icon_name"])
' "$work/tray.log"
}
# Whether the tray shows a picture, not a theme icon, and does not hide it (Passive), mostly red when
# asked for red, else not red and, when given, this very icon.
icon_is() { # red|idle [summary]
    local seen status covered red green blue name reddish
    seen="$(icon)" || return 1
    read -r status covered red green blue name <<<"$seen"
    [ "$status" != Passive ] && [ -z "$name" ] && [ "$covered" -gt 0 ] || return 1
    reddish=false
    [ "$red" -ge 128 ] && [ $((red * 2)) -gt $((green * 3)) ] && [ $((red * 2)) -gt $((blue * 3)) ] && reddish=true
    if [ "$1" = red ]; then
        $reddish
    else
        ! $reddish && { [ -z "${2:-}" ] || [ "$seen" = "$2" ]; }
    fi
}
trelvik_env_until icon_is idle || fail "the tray shows no idle icon, or a red one: $(icon) (log: $(cat "$work/tray.log"))"
idle="$(icon)"
menu="$(property Menu | sed -n "s/.*objectpath '\([^']*\)'.*/\1/p")"
[ -n "$menu" ] || fail "the tray item has no menu: $(property Menu)"
layout="$(gdbus call --session --dest "$item" --object-path "$menu" --method com.canonical.dbusmenu.GetLayout -- 0 -1 '[]')"
for label in "Record F9" "Pause F10" "Stop F11" "Timer..." "Show Trelvik"; do
    grep -qF "'$label'" <<<"$layout" || fail "the tray menu has no $label: $layout"
done

"$bin" --command record
tooltip_says "Trelvik: recording" || fail "the tray does not show the recording: $(property ToolTip)"
trelvik_env_until icon_is red || fail "the tray's icon is not red while recording: $(icon), idle: $idle"
"$bin" --command stop
tooltip_says "Trelvik" || fail "the tray still shows a recording after Stop: $(property ToolTip)"
trelvik_env_until icon_is idle "$idle" || fail "the tray's icon is not the idle one after Stop: $(icon), idle: $idle"
close_window "$main"
ends_with 0
echo PASS
