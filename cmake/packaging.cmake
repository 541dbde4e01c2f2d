# The Debian package, made by CPack from the install rules (cmake --build BUILD --target package,
# or cpack in the build folder): trelvik_<version>_<arch>.deb, installing into /usr.
#
# Its Depends are the shared libraries' packages as dpkg-shlibdeps finds them for the program,
# and what it runs or talks to besides: lame for MP3, xdg-utils to hand files to the desktop, and
# a PulseAudio server (PulseAudio itself or PipeWire's).

set(TRELVIK_PACKAGE_MAINTAINER "Trelvik <help@trelvik.example>"
    CACHE STRING "Name and address in the Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Trelvik")
set(CPACK_PACKAGE_CONTACT "${TRELVIK_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "lame, xdg-utils, pulseaudio | pipewire-pulse")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sound recorder driven by hot keys")
# Wrapped as Debian's long descriptions are: CPack indents each line and marks the empty one.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Trelvik records whatever the chosen recording source delivers - a microphone,"
    "a line input, or the monitor of what the computer plays - into wave files,"
    "pauses and resumes, keeps a list of the recordings made in this run, plays"
    "them, converts them to MP3 with lame, and hands them to the mail program."
    ""
    "F9 records, F10 pauses and resumes and F11 stops, also while another program"
    "has the focus; trelvik --command drives a running Trelvik from key bindings"
    "and scripts. On its first start a short wizard finds a source that really"
    "delivers sound by playing a chime and recording it.")

include(CPack)
