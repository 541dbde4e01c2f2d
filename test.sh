#!/usr/bin/env bash
# Installs what is missing, builds Trelvik with its tests, and runs every test through CTest against a
# private PulseAudio (null sink) and a private Xvfb, which it stops again. Exits non-zero on any failure.
set -uo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$top/tools/setup.sh"

trelvik_install_packages "${TRELVIK_RUNTIME_PACKAGES[@]}" "${TRELVIK_TEST_PACKAGES[@]}" || exit 1
trelvik_build "$top" -DTRELVIK_BUILD_TESTS=ON || exit 1

runtime="$(mktemp -d /tmp/trelvik-test.XXXXXX)"
chmod 700 "$runtime"
pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    rm -rf "$runtime"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A private X server on the first free display.
display=
for n in $(seq 90 140); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then display=":$n"; break; fi
done
[ -n "$display" ] || { echo "test.sh: no free X display"; exit 1; }
Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >"$runtime/xvfb.log" 2>&1 &
pids+=($!)

# A private PulseAudio with a null sink; its monitor hears what is played into it.
export XDG_RUNTIME_DIR="$runtime"
export PULSE_SERVER="unix:$runtime/pulse/native"
unset PULSE_SINK PULSE_SOURCE
pulseaudio --daemonize=no --exit-idle-time=-1 -n --use-pid-file=no --disable-shm=false \
    --load=module-native-protocol-unix \
    --load="module-null-sink sink_name=trelvik_sink rate=44100 format=s16le channels=2" \
    >"$runtime/pulse.log" 2>&1 &
pids+=($!)

for _ in $(seq 100); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && pactl info >/dev/null 2>&1 && break
    sleep 0.1
done
xdpyinfo -display "$display" >/dev/null 2>&1 || { echo "test.sh: Xvfb did not start"; cat "$runtime/xvfb.log"; exit 1; }
pactl info >/dev/null 2>&1 || { echo "test.sh: PulseAudio did not start"; cat "$runtime/pulse.log"; exit 1; }
pactl set-default-sink trelvik_sink
pactl set-default-source trelvik_sink.monitor

export DISPLAY="$display"
export TRELVIK_TEST_SINK=trelvik_sink
(cd "$top/build" && ctest --output-on-failure -j 2 --timeout 300)
status=$?
exit $status
