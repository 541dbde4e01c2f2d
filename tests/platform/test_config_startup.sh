#!/usr/bin/env bash
# The real program under Xvfb started on generated Config.ini files, from fixed seeds: random bytes,
# byte-order marks, CRLF and CR endings, NUL bytes, huge lines, one file of 10 MB, duplicate keys
# and sections, and the program's own keys with values out of every range. Each time it shows a
# window, every window it shows is closed as its close box closes it, and it ends with status 0: no
# crash, no hang. While it runs the file stays byte for byte as it was; when it ends, the one key it
# may have written is the recording level, and every other line of the file is still there.
set -euo pipefail
[ -n "${DISPLAY:-}" ] || { echo "SKIP: no X display"; exit 77; }
. "$TRELVIK_SOURCE_DIR/tests/x11.sh"
need_sound_server
bin="$TRELVIK_BIN_DIR/trelvik"
work="$(mktemp -d)"
pid=
cleanup() {
    [ -z "$pid" ] || kill -9 "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

/usr/bin/python3 - "$work/cases" <<'EOF'
import os, random, sys

out = sys.argv[1]
keys = ["Recording Source", "Recording Source Name", "Recording Volume", "Channels", "BitsPerSample",
        "SamplesPerSec", "Save Position"]
numbers = ["0", "1", "2", "-1", "3", "7", "8", "16", "24", "32", "64", "99999", "2147483647",
           "-2147483648", "99999999999999999999", "+22050", "44100 Hz", "abc", "", " 65536 ", "0x10",
           "65536", "70000", "-65536", "1e9", "192000", "8000", "1"]
paths = ["", "/", ".", "relative.wav", "/nonexistent/folder/take.wav", "/dev/null", "/proc/version",
         "/tmp", "take", "\"quoted name.wav\"", "'single.wav'", "x" * 5000 + ".wav",
         "/tmp/" + "a/" * 400 + "b.wav", "/tmp/ü ñ 名前.wav", "C:\\Music\\Brel.wav", "take.mp3"]


def value(r, key):
    if key == "Save Position":
        return r.choice(paths)
    if key == "Recording Source Name":
        return r.choice(["", "trelvik_sink.monitor", "no such source", "x" * 3000,
                         bytes(r.getrandbits(8) for _ in range(40)).decode("latin-1")])
    return r.choice(numbers)


def config(r, header="[Config]", end="\n", repeat=1):
    lines = [header]
    for _ in range(repeat):
        for key in r.sample(keys, r.randint(1, len(keys))):
            spelled = r.choice([key, key.lower(), key.upper(), " " + key + " "])
            lines.append(f"{spelled}={value(r, key)}")
    return end.join(lines) + end


cases = []
for seed in range(36):
    r = random.Random(seed)
    kind = seed % 12
    if kind == 0:
        data = r.randbytes(r.randint(0, 4096))
    elif kind == 1:
        data = b"\xef\xbb\xbf" + config(r).encode("utf-8", "surrogateescape")
    elif kind == 2:
        data = config(r, end="\r\n").encode("latin-1", "replace")
    elif kind == 3:
        data = config(r, end="\r").encode("latin-1", "replace")
    elif kind == 4:
        text = bytearray(config(r).encode("latin-1", "replace"))
        for _ in range(r.randint(1, 20)):
            text.insert(r.randrange(len(text) + 1), 0)
        data = bytes(text)
    elif kind == 5:
        data = (config(r) + "Save Position=/tmp/" + "y" * r.randint(100_000, 2_000_000) + ".wav\n").encode()
    elif kind == 6:
        data = (config(r, repeat=3) + config(r, header="[config]")).encode("latin-1", "replace")
    elif kind == 7:
        data = "".join(f"[S{i}]\nChannels={i}\n" for i in range(r.randint(100, 3000))).encode() + \
            config(r).encode("latin-1", "replace")
    elif kind == 8:
        data = config(r).encode("utf-16")
    elif kind == 9:
        text = bytearray(config(r).encode("latin-1", "replace"))
        for _ in range(r.randint(1, 12)):
            at = r.randrange(len(text))
            text[at] = r.getrandbits(8)
        data = bytes(text)
    elif kind == 10:
        data = config(r).encode("latin-1", "replace").rstrip(b"\n")
    else:
        data = ("\n".join(f"{k}={value(r, k)}" for k in keys) + "\n").encode("latin-1", "replace")
    cases.append(data)

# One file of 10 MB: thousands of other sections, the program's keys near the end.
r = random.Random(36)
big = bytearray()
section = 0
while len(big) < 10 * 1024 * 1024 - 4096:
    big += f"[Section {section}]\n".encode()
    big += "".join(f"Key {k}={r.randbytes(40).hex()}\n" for k in range(40)).encode()
    section += 1
cases.append(bytes(big) + config(r).encode("latin-1", "replace"))

for number, data in enumerate(cases):
    folder = os.path.join(out, f"{number:02d}")
    os.makedirs(folder)
    with open(os.path.join(folder, "Config.ini"), "wb") as f:
        f.write(data)
EOF

# Whether a Config.ini after the program ended differs from the one before only by the recording
# level: its line replaced or added, or added with a [Config] section at the end. Line endings may
# have become one kind throughout.
only_level_written() { # before after
    /usr/bin/python3 - "$1" "$2" <<'EOF'
import re, sys

level = re.compile(rb"^\s*recording volume\s*=", re.IGNORECASE)


def lines(path):
    data = open(path, "rb").read()
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return [line[:-1] if line.endswith(b"\r") else line for line in data.split(b"\n")
            if line != b""] if data else []


before, after = lines(sys.argv[1]), lines(sys.argv[2])
kept_before = [line for line in before if not level.match(line)]
kept_after = [line for line in after if not level.match(line)]
written = [line for line in after if level.match(line) and line not in before]
ok = len(written) <= 1 and kept_after in (kept_before, kept_before + [b"[Config]"])
sys.exit(0 if ok else 1)
EOF
}

# Visible windows, one id a line: the program's, as no other program shows windows on the test's
# display while a script test runs. (Polling with "xdotool search --pid" while the program starts
# made Qt's connection to Xvfb fail now and then.)
windows_of() { xdotool search --onlyvisible --name . 2>/dev/null || true; }

count=0
for home in "$work"/cases/*; do
    name="$(basename "$home")"
    cp "$home/Config.ini" "$work/before.ini"
    "$bin" --home "$home" >"$work/out.log" 2>&1 &
    pid=$!
    shown=
    for _ in $(seq 150); do
        shown="$(windows_of | head -n 1)"
        [ -n "$shown" ] && break
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if [ -z "$shown" ]; then
        cat "$work/out.log"
        kill -0 "$pid" 2>/dev/null && fail "case $name: no window appeared"
        status=0
        wait "$pid" || status=$?
        pid=
        fail "case $name: the program ended with status $status without showing a window"
    fi
    cmp -s "$work/before.ini" "$home/Config.ini" || fail "case $name: starting changed Config.ini"
    # Close what it shows, window after window, until it ends.
    titles=()
    for _ in $(seq 10); do
        kill -0 "$pid" 2>/dev/null || break
        shown=
        for _ in $(seq 100); do
            shown="$(windows_of | head -n 1)"
            [ -n "$shown" ] && break
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        [ -n "$shown" ] || break
        titles+=("$(xdotool getwindowname "$shown" 2>/dev/null || echo "?")")
        close_window "$shown"
    done
    status=0
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && { cat "$work/out.log"; fail "case $name: still running after closing ${titles[*]}"; }
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || { cat "$work/out.log"; fail "case $name: exit status $status after closing ${titles[*]}"; }
    if cmp -s "$work/before.ini" "$home/Config.ini"; then
        echo "case $name: closed ${titles[*]}; Config.ini unchanged"
    else
        only_level_written "$work/before.ini" "$home/Config.ini" ||
            fail "case $name: Config.ini changed beyond the recording level"
        echo "case $name: closed ${titles[*]}; the recording level written"
    fi
    count=$((count + 1))
done
[ "$count" -eq 37 ] || fail "ran $count cases, not 37"
echo "PASS ($count configurations)"
