# Shared by run.sh, test.sh and .ci/run: install what is missing, then configure and build.
# Sourced, not run.

TRELVIK_RUNTIME_PACKAGES=(qt6-base-dev cmake g++ make pkg-config libpulse-dev libsndfile1-dev
    libxcb1-dev libxcb-keysyms1-dev libx11-dev pulseaudio pulseaudio-utils lame xdg-utils fonts-liberation2 libsoxr-dev
    libfontconfig-dev)
TRELVIK_TEST_PACKAGES=(xvfb xdotool x11-utils imagemagick sox libsox-fmt-all xauth
    dbus-daemon dbus-bin at-spi2-core python3 python3-gi python3-pyatspi
    pipewire pipewire-pulse wireplumber weston qt6-wayland
    desktop-file-utils appstream dpkg-dev lintian
    xdg-desktop-portal xdg-desktop-portal-kde libkf5globalaccel-bin
    flac vorbis-tools opus-tools libglib2.0-bin)
# What .ci/run needs before the tests: the format check of the changed files.
TRELVIK_CHECK_PACKAGES=(git clang-format)

trelvik_install_packages() {
    local missing=() pkg
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq || return 1
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" || return 1
}

# Builds in build/, or in TRELVIK_BUILD_DIR when that is set.
trelvik_build() {
    local top="$1"
    shift
    local build="${TRELVIK_BUILD_DIR:-$top/build}"
    cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null || return 1
    cmake --build "$build" -j "$(nproc)" || return 1
}
