#!/usr/bin/env bash
# Installs the build into a temporary prefix and runs the installed program under X with a temporary
# home: it finds its skins in <prefix>/share/trelvik and keeps Config.ini in the home's config folder.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
build="$TRELVIK_BIN_DIR/.."
convert=/usr/bin/convert
work="$(mktemp -d)"
pid=
cleanup() { [ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"

prefix="$work/prefix dir"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "cmake --install"; }

share="$prefix/share/trelvik"
[ -x "$prefix/bin/trelvik" ] || fail "no program in bin"
[ "$(ls "$prefix/bin")" = "trelvik" ] || fail "bin holds more than the program: $(ls "$prefix/bin")"
for file in skin/green.skn skin/red.skn skin/blue.skn "Trelvik help.html"; do
    [ -f "$share/$file" ] || fail "$file is not in share/trelvik"
done
if [ -f "$TRELVIK_BIN_DIR/test.wav" ]; then
    cmp -s "$TRELVIK_BIN_DIR/test.wav" "$share/test.wav" || fail "the test chime is not in share/trelvik"
fi
desktop="$prefix/share/applications/org.trelvik.Trelvik.desktop"
[ -f "$desktop" ] || fail "no desktop entry"
grep -qx 'Exec=trelvik' "$desktop" || fail "desktop entry does not start trelvik"
grep -qx 'Icon=trelvik' "$desktop" || fail "desktop entry does not name the icon"
grep -q '^Categories=.*AudioVideo;' "$desktop" || fail "desktop entry has no category"
grep -q '<svg' "$prefix/share/icons/hicolor/scalable/apps/trelvik.svg" || fail "no scalable icon"
for size in 48 128 256; do
    [ "$("$convert" "$prefix/share/icons/hicolor/${size}x$size/apps/trelvik.png" -format '%wx%h' info:)" = "${size}x$size" ] ||
        fail "no ${size}x$size icon"
done
grep -q '<launchable type="desktop-id">org.trelvik.Trelvik.desktop</launchable>' \
    "$prefix/share/metainfo/org.trelvik.Trelvik.metainfo.xml" || fail "no AppStream metadata naming the desktop entry"

# First start in an empty home: the wizard appears in its green skin, and closing it early stores the
# source's own level in the home's configuration folder. A Config.ini there is the one the program
# reads: it starts with the main window, and closing that stores the level there.
run_installed() {
    local config="$1"
    "$prefix/bin/trelvik" >"$work/out.log" 2>&1 &
    pid=$!
    local wizard
    wizard="$(window "Sound Card Setting")" || { cat "$work/out.log"; fail "the wizard did not appear"; }
    shot "$wizard" "$work/wizard.png"
    # The green skin's background colour.
    local colours
    colours="$("$convert" "$work/wizard.png" -format %c histogram:info:-)"
    grep -qi '#1F4D2B' <<<"$colours" || fail "the wizard is not skinned: the skins did not load"
    close_window "$wizard"
    ends_with 0
    # Closed early, the first run stores the source's own level alone.
    grep -q '^Recording Volume=' "$config/Trelvik/Config.ini" ||
        fail "the first run closed early did not store its level in $config/Trelvik/Config.ini"

    mkdir -p "$config/Trelvik"
    # The key in lower case: the program rewrites it in its own spelling when it stores the level.
    printf '[Config]\nRecording Source=1\nrecording volume=32768\nChannels=2\nBitsPerSample=16\nSamplesPerSec=22050\n' \
        >"$config/Trelvik/Config.ini"
    "$prefix/bin/trelvik" >"$work/out.log" 2>&1 &
    pid=$!
    local main
    main="$(window Trelvik)" || { cat "$work/out.log"; fail "the main window did not appear with $config/Trelvik/Config.ini"; }
    [ -z "$(xdotool search --onlyvisible --name '^Sound Card Setting$' 2>/dev/null)" ] ||
        fail "the wizard appeared: $config/Trelvik/Config.ini was not read"
    close_window "$main"
    ends_with 0
    grep -q '^Recording Volume=32768$' "$config/Trelvik/Config.ini" ||
        fail "the level was not stored in $config/Trelvik/Config.ini: $(cat "$config/Trelvik/Config.ini")"
    [ -d "$HOME/Music" ] || fail "the Music folder for recordings was not made"
}

mkdir -p "$work/home"
(
    trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null' EXIT
    export HOME="$work/home"
    unset XDG_CONFIG_HOME XDG_DATA_HOME
    run_installed "$work/home/.config"
)
(
    trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null' EXIT
    export HOME="$work/home2" XDG_CONFIG_HOME="$work/xdg config"
    mkdir -p "$HOME"
    run_installed "$XDG_CONFIG_HOME"
)
[ ! -e "$work/home2/.config/Trelvik" ] || fail "Config.ini went to ~/.config although XDG_CONFIG_HOME was set"
[ -z "$(find "$prefix" -name Config.ini -o -name 'Brel*.wav')" ] || fail "the program wrote into its prefix"
echo "PASS"
