#!/usr/bin/env bash
# Installs what is missing, builds Trelvik in build/, makes sure a sound server answers, and starts it.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$top/tools/setup.sh"

trelvik_install_packages "${TRELVIK_RUNTIME_PACKAGES[@]}"
trelvik_build "$top" -DTRELVIK_BUILD_TESTS=OFF

# Start a PulseAudio daemon for this user when no sound server answers (PipeWire's Pulse server counts).
if ! pactl info >/dev/null 2>&1; then
    echo "No sound server answers; starting PulseAudio for $(id -un)."
    # A daemon with the system's default configuration finds the sound cards; where it cannot start
    # (no card, or a machine without a user session), one with a null sink still lets Trelvik run.
    pulseaudio --start --exit-idle-time=-1 >/dev/null 2>&1 ||
        pulseaudio --daemonize=yes --exit-idle-time=-1 -n --load=module-native-protocol-unix \
            --load="module-null-sink sink_name=trelvik_null" --load=module-always-sink >/dev/null 2>&1 || true
    for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
    pactl info >/dev/null 2>&1 || echo "run.sh: PulseAudio did not start; Trelvik runs without recording sources."
fi

exec "$top/build/bin/trelvik" "$@"
