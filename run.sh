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
    if [ "$(id -u)" -eq 0 ]; then
        pulseaudio --start --exit-idle-time=-1 --system=false -n \
            --load=module-native-protocol-unix --load=module-always-sink --load=module-null-sink 2>/dev/null ||
            pulseaudio --start --exit-idle-time=-1 || true
    else
        pulseaudio --start --exit-idle-time=-1 || true
    fi
fi

exec "$top/build/bin/trelvik" "$@"
