#!/usr/bin/env bash
# The Debian package as CPack makes it from the build: its name and fields, Depends that cover every
# shared library the program loads and what it runs besides, and its files unpacked with dpkg -x
# into a temporary root: the program (which runs from there), its data, the manual and the manual
# page, the icons, a desktop entry desktop-file-validate accepts and AppStream metadata
# appstreamcli accepts without errors or warnings, for this version, the copyright file (GPL-3+) and
# the changelog of this version, and nothing lintian reports as an error. Then the menu's desktop entry
# starts the unpacked program as a desktop would, with the package's bin folder on PATH, and it
# records what plays into the sink. Installs nothing on this machine.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
sink="${TRELVIK_TEST_SINK:-$(pactl get-default-sink)}"
build="$TRELVIK_BIN_DIR/.."
work="$(mktemp -d)"
pid=
others=()
cleanup() {
    local p
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    for p in "${others[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
convert=/usr/bin/convert

# The version the program reports is the version everything else must carry.
version="$("$TRELVIK_BIN_DIR/trelvik" --version)"
version="${version#trelvik }"
[ -n "$version" ] || fail "no version from trelvik --version"
arch="$(dpkg --print-architecture)"

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb="$work/out/trelvik_${version}_$arch.deb"
[ -f "$deb" ] || fail "no package trelvik_${version}_$arch.deb: $(ls "$work/out")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = trelvik ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ "$(field Section)" = sound ] || fail "Section: $(field Section)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
[ "$(field Description | wc -l)" -gt 2 ] || fail "no long description: $(field Description)"

# Depends, one alternative group a line.
depends="$(field Depends | tr ',' '\n' | sed 's/^ *//; s/ *$//')"
has_group() { grep -qx -- "$1" <<<"$depends"; }
# A package in any group (its name's dots and pluses taken literally).
has_package() {
    local name
    name="$(sed 's/[.+]/\\&/g' <<<"$1")"
    grep -Eq -- "(^|\| )$name( \(|$| \|)" <<<"$depends"
}
has_group lame || fail "Depends lacks lame: $(field Depends)"
has_group xdg-utils || fail "Depends lacks xdg-utils: $(field Depends)"
has_group 'pulseaudio | pipewire-pulse' || fail "Depends lacks pulseaudio | pipewire-pulse: $(field Depends)"

# lintian's errors are policy violations a Debian archive rejects; its warnings and notes are allowed.
command -v lintian >/dev/null || fail "lintian is not installed (tools/setup.sh installs it)"
status=0
lintian --no-cfg "$deb" >"$work/lintian.log" 2>&1 || status=$?
errors="$(grep '^E:' "$work/lintian.log" || true)"
[ -z "$errors" ] || fail "lintian reports errors:
$errors"
[ "$status" -eq 0 ] || fail "lintian failed ($status): $(cat "$work/lintian.log")"

dpkg -x "$deb" "$work/root"
root="$work/root"
program="$root/usr/bin/trelvik"
[ -x "$program" ] || fail "no usr/bin/trelvik"
[ "$(ls "$root/usr/bin")" = trelvik ] || fail "usr/bin holds more than the program: $(ls "$root/usr/bin")"
[ "$("$program" --version)" = "trelvik $version" ] || fail "the packaged program does not run"

# Every shared library the program names (its NEEDED entries; they pull in the rest) comes from a
# package in Depends; the main ones carry a lower version bound.
needed="$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')"
[ -n "$needed" ] || fail "the program names no shared library"
checked=0
while read -r soname; do
    library="$(ldd "$program" | awk -v so="$soname" '$1 == so && $2 == "=>" { print $3 }')"
    [ -n "$library" ] || fail "$soname is not found"
    owner="$(dpkg -S "$(readlink -f "$library")" 2>/dev/null || dpkg -S "$library" 2>/dev/null)" ||
        fail "no package owns $library"
    owner="${owner%%:*}"
    has_package "$owner" || fail "$soname comes from $owner, which is not in Depends: $(field Depends)"
    checked=$((checked + 1))
done <<<"$needed"
[ "$checked" -ge 5 ] || fail "only $checked libraries checked: $needed"
for package in libpulse0 libsndfile1 libqt6core6 libqt6widgets6; do
    grep -Eq "(^|\| )$package \(>= [^)]+\)" <<<"$depends" || fail "Depends has no versioned $package: $(field Depends)"
done

share="$root/usr/share"
# The copyright file in Debian's machine-readable format, every file under GPL-3+, the licence's
# paragraph pointing to Debian's copy of its text; and the changelog, gzip-compressed, whose newest
# entry is this version.
copyright="$share/doc/trelvik/copyright"
[ -f "$copyright" ] || fail "no usr/share/doc/trelvik/copyright: $(ls "$share/doc/trelvik" 2>&1)"
grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' "$copyright" ||
    fail "the copyright file is not in the machine-readable format: $(head -3 "$copyright")"
grep -A2 -x 'Files: \*' "$copyright" | grep -qx 'License: GPL-3+' || fail "the copyright file does not put every file under GPL-3+"
grep -qF '/usr/share/common-licenses/GPL-3' "$copyright" || fail "the copyright file does not point to the licence's text"
grep -v '^#' "$TRELVIK_SOURCE_DIR/packaging/copyright" | cmp -s - "$copyright" ||
    fail "the copyright file is not packaging/copyright without its comments"
changelog="$share/doc/trelvik/changelog.gz"
[ -f "$changelog" ] || fail "no usr/share/doc/trelvik/changelog.gz: $(ls "$share/doc/trelvik")"
zcat "$changelog" | cmp -s - <(grep -v '^#' "$TRELVIK_SOURCE_DIR/packaging/changelog") ||
    fail "the changelog is not packaging/changelog without its comments"
zcat "$changelog" >"$work/changelog"
newest="$(dpkg-parsechangelog -l "$work/changelog" -S Version)" || fail "dpkg-parsechangelog cannot read the changelog"
[ "$newest" = "$version" ] || fail "the changelog's newest entry is version $newest, not $version"
for file in trelvik/skin/green.skn trelvik/skin/red.skn trelvik/skin/blue.skn "trelvik/Trelvik help.html"; do
    [ -f "$share/$file" ] || fail "no $file"
done
cmp -s "$TRELVIK_SOURCE_DIR/assets/Trelvik help.html" "$share/trelvik/Trelvik help.html" || fail "the manual differs"
if [ -f "$TRELVIK_BIN_DIR/test.wav" ]; then
    cmp -s "$TRELVIK_BIN_DIR/test.wav" "$share/trelvik/test.wav" || fail "the test chime is not in the package"
fi
zcat "$share/man/man1/trelvik.1.gz" | cmp -s - "$TRELVIK_SOURCE_DIR/install/trelvik.1" ||
    fail "the manual page is not usr/share/man/man1/trelvik.1.gz"
grep -q '<svg' "$share/icons/hicolor/scalable/apps/trelvik.svg" || fail "no scalable icon"
for size in 48 128 256; do
    [ "$("$convert" "$share/icons/hicolor/${size}x$size/apps/trelvik.png" -format '%wx%h' info:)" = "${size}x$size" ] ||
        fail "no ${size}x$size icon"
done

desktop="$share/applications/org.trelvik.Trelvik.desktop"
[ -f "$desktop" ] || fail "no desktop entry org.trelvik.Trelvik.desktop: $(ls "$share/applications")"
out="$(desktop-file-validate "$desktop" 2>&1)" || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
grep -qx 'Exec=trelvik' "$desktop" || fail "the desktop entry does not start trelvik"
[ -x "$root/usr/bin/$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")" ] || fail "Exec names no program of the package"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
[ -f "$share/icons/hicolor/48x48/apps/$icon.png" ] || fail "Icon=$icon is not in the package"

# AppStream: the metadata alone, and together with the desktop entry and icons it names. Pedantic
# notes are allowed; errors, warnings and informational hints are not.
metainfo="$share/metainfo/org.trelvik.Trelvik.metainfo.xml"
[ -f "$metainfo" ] || fail "no usr/share/metainfo/org.trelvik.Trelvik.metainfo.xml"
status=0
out="$(appstreamcli validate --no-net --no-color "$metainfo" 2>&1)" || status=$?
[ "$status" -eq 0 ] || fail "appstreamcli validate: $out"
! grep -Eq '^[EWI]:' <<<"$out" || fail "appstreamcli validate: $out"
status=0
out="$(appstreamcli validate-tree --no-net --no-color "$root/usr" 2>&1)" || status=$?
[ "$status" -eq 0 ] || fail "appstreamcli validate-tree: $out"
! grep -Eq '^[EWI]:' <<<"$out" || fail "appstreamcli validate-tree: $out"
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metadata has no release $version"
grep -q '<launchable type="desktop-id">org.trelvik.Trelvik.desktop</launchable>' "$metainfo" ||
    fail "the metadata does not launch org.trelvik.Trelvik.desktop"
grep -q '<binary>trelvik</binary>' "$metainfo" || fail "the metadata does not provide the program"
shots=0
while read -r shot; do
    [ -f "$TRELVIK_SOURCE_DIR/$shot" ] || fail "the screenshot $shot is not in the source tree"
    grep -qF "]($shot)" "$TRELVIK_SOURCE_DIR/README.md" || fail "the screenshot $shot is not the README's"
    shots=$((shots + 1))
done < <(sed -n 's|.*<image>[^<]*/\(docs/[^<]*\)</image>.*|\1|p' "$metainfo")
[ "$shots" -ge 1 ] || fail "the metadata shows no screenshot"
# The menu entry starts the program: its Exec line (no field codes) run with the package's bin
# folder first on PATH, as a desktop runs it after dpkg -i, in a home of its own. It finds its data
# in the package's share/trelvik and records the signal into the Music folder.
exec_line="$(sed -n 's/^Exec=//p' "$desktop")"
[ "$exec_line" = "$(sed 's/ *%[fFuUdDnNickvm]//g' <<<"$exec_line")" ] || fail "Exec has field codes: $exec_line"
bus="$(trelvik_private_bus)" || fail "no session bus"
DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")"
export DBUS_SESSION_BUS_ADDRESS
others+=("$(sed -n 2p <<<"$bus")")
export HOME="$work/home" PATH="$root/usr/bin:$PATH"
unset XDG_CONFIG_HOME XDG_DATA_HOME XDG_MUSIC_DIR
mkdir -p "$HOME/.config/Trelvik"
printf '[Config]\nRecording Source=1\nRecording Volume=65536\nChannels=2\nBitsPerSample=16\nSamplesPerSec=44100\nSave Position=%s\n' \
    "$HOME/Music/packaged.wav" >"$HOME/.config/Trelvik/Config.ini"
sox -n -r 44100 -c 2 -b 16 "$work/tone.wav" synth 60 sine 440 vol 0.5
paplay --device="$sink" "$work/tone.wav" &
others+=($!)
# shellcheck disable=SC2086 # the Exec line is split into words as a desktop splits it
$exec_line >"$work/out.log" 2>&1 &
pid=$!
window Trelvik >/dev/null || { cat "$work/out.log"; fail "the packaged program showed no main window"; }
[ "$(readlink -f "/proc/$pid/exe")" = "$(readlink -f "$root/usr/bin/trelvik")" ] ||
    fail "the desktop entry did not start the packaged program: $(readlink -f "/proc/$pid/exe")"
for _ in $(seq 100); do [ "$(trelvik --command status 2>/dev/null)" = idle ] && break; sleep 0.1; done
trelvik --command record
[ "$(trelvik --command status)" = recording ] || fail "the packaged program did not start recording"
wait_recorded "$HOME/Music" 4 $((44100 * 4))
[ "$(trelvik --command stop+status)" = idle ] || fail "the packaged program did not stop"
take="$HOME/Music/packaged.wav"
[ -s "$take" ] || fail "no recording: $(ls -la "$HOME/Music")"
duration="$(soxi -D "$take")"
awk -v d="$duration" 'BEGIN { exit !(d >= 3.9 && d < 12) }' || fail "the recording lasts $duration s"
# Its last one and a half seconds are the tone. (What the first moments of a take made right after
# start-up hold is the recording tests' concern.)
stat="$(sox "$take" -n remix 1 trim -1.5 stat 2>&1)"
rms="$(awk '/^RMS +amplitude/ { print $3 }' <<<"$stat")"
frequency="$(awk '/^Rough +frequency/ { print $3 }' <<<"$stat")"
awk -v r="$rms" -v f="$frequency" 'BEGIN { exit !(r > 0.3 && r < 0.4 && f > 420 && f < 460) }' ||
    fail "the recording does not hold the 440 Hz tone (RMS $rms, about $frequency Hz)"
trelvik --command quit
ends_with 0
[ -z "$(find "$root" -name Config.ini -o -name '*.wav' ! -path '*/share/trelvik/test.wav')" ] ||
    fail "the program wrote into the package's files"
echo PASS
