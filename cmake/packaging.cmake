# The Debian package, made by CPack from the install rules (cmake --build BUILD --target package,
# or cpack in the build folder): trelvik_<version>_<arch>.deb, installing into /usr.
#
# Its Depends are the shared libraries' packages as dpkg-shlibdeps finds them for the program,
# and what it runs or talks to besides: lame for MP3, xdg-utils to hand files to the desktop, and
# a PulseAudio server (PulseAudio itself or PipeWire's).

set(TRELVIK_PACKAGE_MAINTAINER "Trelvik <help@trelvik.example>"
    CACHE STRING "Name and address in the Maintainer field of the Debian package")

# Debian's policy asks every package for usr/share/doc/<package>/copyright, in the machine-readable
# format, and, as a native package (its version has no Debian revision), for the changelog as
# changelog.gz compressed with gzip -9n. Both are made from packaging/ at build time and installed
# with the rest, so that cpack picks them up.
set(TRELVIK_PACKAGE_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/trelvik)
set(TRELVIK_DEBIAN_COPYRIGHT ${CMAKE_BINARY_DIR}/packaging/copyright)
set(TRELVIK_DEBIAN_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

# The changelog's newest entry is the version being packaged.
file(STRINGS ${CMAKE_SOURCE_DIR}/packaging/changelog TRELVIK_CHANGELOG_TOP REGEX "^trelvik \\(" LIMIT_COUNT 1)
string(REPLACE "." "\\." TRELVIK_VERSION_PATTERN "${PROJECT_VERSION}")
if(NOT TRELVIK_CHANGELOG_TOP MATCHES "^trelvik \\(${TRELVIK_VERSION_PATTERN}\\) ")
    message(FATAL_ERROR "The newest entry of packaging/changelog is not for version ${PROJECT_VERSION}: "
                        "add one on top")
endif()

add_custom_command(OUTPUT ${TRELVIK_DEBIAN_COPYRIGHT}
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/packaging/copyright -DOUT=${TRELVIK_DEBIAN_COPYRIGHT}
            -P ${CMAKE_SOURCE_DIR}/cmake/debian_doc.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/copyright ${CMAKE_SOURCE_DIR}/cmake/debian_doc.cmake
    VERBATIM)
add_custom_command(OUTPUT ${TRELVIK_DEBIAN_CHANGELOG}
    COMMAND ${CMAKE_COMMAND} -DIN=${CMAKE_SOURCE_DIR}/packaging/changelog -DOUT=${CMAKE_BINARY_DIR}/packaging/changelog
            -P ${CMAKE_SOURCE_DIR}/cmake/debian_doc.cmake
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/changelog
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog ${CMAKE_SOURCE_DIR}/cmake/debian_doc.cmake
    VERBATIM)
add_custom_target(trelvik_package_docs ALL DEPENDS ${TRELVIK_DEBIAN_COPYRIGHT} ${TRELVIK_DEBIAN_CHANGELOG})
install(FILES ${TRELVIK_DEBIAN_COPYRIGHT} ${TRELVIK_DEBIAN_CHANGELOG} DESTINATION ${TRELVIK_PACKAGE_DOCDIR})

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
