# SPDX-License-Identifier: GPL-3.0-or-later
# Writes a file of packaging/ as the package carries it: without its leading comment lines.
#   cmake -DIN=packaging/copyright -DOUT=<build>/copyright -P cmake/debian_doc.cmake
if(NOT DEFINED IN OR NOT DEFINED OUT)
    message(FATAL_ERROR "usage: cmake -DIN=<source> -DOUT=<file> -P debian_doc.cmake")
endif()
file(READ "${IN}" text)
string(REGEX REPLACE "^(#[^\n]*\n)+" "" text "${text}")
if(text STREQUAL "")
    message(FATAL_ERROR "${IN} holds nothing but comments")
endif()
file(WRITE "${OUT}" "${text}")
