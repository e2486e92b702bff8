# Builds the two Debian packages of the build BUILD_DIR into a fresh folder OUT, as
# `cpack -G DEB` does for the README's install steps, and checks that each holds its own
# program and no other; that chartransfer-cli depends on no display library, so a server
# can install it alone; the section; and, when lintian is installed, that lintian has
# nothing to say about either.
#
#   cmake -DBUILD_DIR=<build> -DOUT=<empty dir to use> -P checkpackages.cmake

cmake_minimum_required(VERSION 3.16)

foreach(var BUILD_DIR OUT)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} not given")
    endif()
endforeach()

find_program(dpkg_deb dpkg-deb)
find_program(shlibdeps dpkg-shlibdeps)
if(NOT dpkg_deb OR NOT shlibdeps)
    message(FATAL_ERROR "dpkg-deb and dpkg-shlibdeps are needed (package dpkg-dev)")
endif()

file(REMOVE_RECURSE "${OUT}")
execute_process(COMMAND cpack --config "${BUILD_DIR}/CPackConfig.cmake" -G DEB -B "${OUT}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
file(GLOB window "${OUT}/chartransfer_*.deb")
file(GLOB cli "${OUT}/chartransfer-cli_*.deb")
list(LENGTH window windows)
list(LENGTH cli clis)
if(NOT result EQUAL 0 OR NOT windows EQUAL 1 OR NOT clis EQUAL 1)
    message(FATAL_ERROR "cpack did not write the two packages (${result}):\n${output}")
endif()

function(field deb name out)
    execute_process(COMMAND "${dpkg_deb}" -f "${deb}" ${name} OUTPUT_VARIABLE value
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    set(${out} "${value}" PARENT_SCOPE)
endfunction()

# What each package holds, and what it must not.
set(window_wants "./usr/bin/chartransfer\n" "applications/chartransfer.desktop"
    "man1/chartransfer.1.gz" "doc/chartransfer/copyright")
set(window_refuses "chartransfer-cli")
set(cli_wants "./usr/bin/chartransfer-cli\n" "completions/chartransfer-cli"
    "man1/chartransfer-cli.1.gz" "doc/chartransfer-cli/copyright")
set(cli_refuses "./usr/bin/chartransfer\n" "applications" "icons")
foreach(package window cli)
    set(deb "${${package}}")
    execute_process(COMMAND "${dpkg_deb}" -c "${deb}" OUTPUT_VARIABLE listing)
    # The names alone, one a line.
    string(REGEX REPLACE "[^\n]* \\./" "./" listing "${listing}")
    foreach(wanted IN LISTS ${package}_wants)
        string(FIND "${listing}" "${wanted}" at)
        if(at EQUAL -1)
            message(FATAL_ERROR "${deb} lacks ${wanted}:\n${listing}")
        endif()
    endforeach()
    foreach(refused IN LISTS ${package}_refuses)
        string(FIND "${listing}" "${refused}" at)
        if(NOT at EQUAL -1)
            message(FATAL_ERROR "${deb} holds ${refused}, which belongs to the other package:\n"
                "${listing}")
        endif()
    endforeach()
    field("${deb}" Section section)
    if(NOT section STREQUAL "utils")
        message(FATAL_ERROR "${deb} is in section \"${section}\", not utils")
    endif()
endforeach()

# The program for terminals needs QtCore and nothing of the toolkit's GUI or of X11; the
# window needs the widgets.
field("${cli}" Depends depends)
if(NOT depends MATCHES "libqt6core6"
    OR depends MATCHES "libqt6(gui|widgets|opengl|dbus)|libx11|libxcb|libgl|libegl|wayland")
    message(FATAL_ERROR "${cli} depends on: ${depends}")
endif()
field("${window}" Depends depends)
if(NOT depends MATCHES "libqt6widgets6")
    message(FATAL_ERROR "${window} depends on: ${depends}")
endif()

find_program(lintian lintian)
if(lintian)
    execute_process(COMMAND "${lintian}" "${window}" "${cli}"
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT output STREQUAL "")
        message(FATAL_ERROR "lintian (${result}):\n${output}${errors}")
    endif()
else()
    message(STATUS "lintian not found (package lintian); its checks are left out")
endif()

file(REMOVE_RECURSE "${OUT}")
message(STATUS "two packages: ${window} (${depends}), ${cli}")
