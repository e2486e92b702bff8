# Installs the build BUILD_DIR into a fresh PREFIX, as `cmake --install <build> --prefix
# <dir>` does for a packager or an operator, and checks that a desktop finds the program
# there: the program, a valid desktop entry that starts it, and the icon that entry names;
# and that a terminal finds the other: chartransfer-cli, which runs, its bash completion, and
# a manual page for each program; each package's copyright file and changelog; and that the
# window started without a display says what to do.
#
#   cmake -DBUILD_DIR=<build> -DPREFIX=<empty dir to use> -P checkinstall.cmake

cmake_minimum_required(VERSION 3.16)

foreach(var BUILD_DIR PREFIX)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "${var} not given")
    endif()
endforeach()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

set(program "${PREFIX}/bin/chartransfer")
set(entry "${PREFIX}/share/applications/chartransfer.desktop")
set(icon "${PREFIX}/share/icons/hicolor/32x32/apps/chartransfer.png")
set(scalable "${PREFIX}/share/icons/hicolor/scalable/apps/chartransfer.svg")
set(cli "${PREFIX}/bin/chartransfer-cli")
set(manuals "${PREFIX}/share/man/man1/chartransfer.1.gz"
    "${PREFIX}/share/man/man1/chartransfer-cli.1.gz")
set(completion "${PREFIX}/share/bash-completion/completions/chartransfer-cli")
set(docs "${PREFIX}/share/doc/chartransfer/copyright" "${PREFIX}/share/doc/chartransfer/changelog.Debian.gz"
    "${PREFIX}/share/doc/chartransfer-cli/copyright"
    "${PREFIX}/share/doc/chartransfer-cli/changelog.Debian.gz")
foreach(file IN ITEMS "${program}" "${entry}" "${icon}" "${scalable}" "${cli}" ${manuals}
        "${completion}" ${docs})
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
        message(FATAL_ERROR "not installed: ${file}\ncmake --install said:\n${output}")
    endif()
endforeach()

# The program can be started: it is an executable ELF file.
execute_process(COMMAND test -x "${program}" RESULT_VARIABLE notExecutable)
if(NOT notExecutable EQUAL 0)
    message(FATAL_ERROR "${program} is not executable")
endif()

# The terminal program runs from where it was installed, and its help lists the exit
# statuses.
execute_process(COMMAND "${cli}" --help
    RESULT_VARIABLE result OUTPUT_VARIABLE help ERROR_VARIABLE help)
if(NOT result EQUAL 0 OR NOT help MATCHES "Exit status:.*6  a world that cannot be read")
    message(FATAL_ERROR "${cli} --help failed (${result}):\n${help}")
endif()

# Without a display, and with no platform given, the window says so and what to use
# instead, rather than the toolkit's abort.
execute_process(COMMAND "${CMAKE_COMMAND}" -E env --unset=DISPLAY --unset=WAYLAND_DISPLAY
        --unset=QT_QPA_PLATFORM "${program}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE error TIMEOUT 60)
set(wanted "chartransfer: no graphical display (DISPLAY and WAYLAND_DISPLAY are not set); on a server use chartransfer-cli\n")
if(NOT result STREQUAL "1" OR NOT output STREQUAL "" OR NOT error STREQUAL wanted)
    message(FATAL_ERROR "${program} without a display: status ${result}, output \"${output}\", "
        "errors \"${error}\"")
endif()

# The bash completion offers the commands, their options and world directories.
execute_process(COMMAND bash "${CMAKE_CURRENT_LIST_DIR}/completion.bash" "${completion}"
    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "the bash completion ${completion}:\n${output}")
endif()

# The manual pages are gzip files (they start with 1f 8b) that hold a page of their own.
foreach(manual IN LISTS manuals)
    file(READ "${manual}" head LIMIT 2 HEX)
    if(NOT head STREQUAL "1f8b")
        message(FATAL_ERROR "${manual} is not compressed with gzip")
    endif()
    get_filename_component(page "${manual}" NAME_WE)
    execute_process(COMMAND gzip -dc "${manual}" OUTPUT_VARIABLE text)
    string(TOUPPER "${page}" title)
    if(NOT text MATCHES "^\\.TH ${title} 1 ")
        message(FATAL_ERROR "${manual} is not the manual page of ${page}")
    endif()
endforeach()

# Each package's documents: a machine-readable copyright file and the Debian changelog,
# compressed without a name or time stamp inside (bytes 4 to 7, the time, are zero).
foreach(package chartransfer chartransfer-cli)
    set(doc "${PREFIX}/share/doc/${package}")
    file(READ "${doc}/copyright" text)
    if(NOT text MATCHES "^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n")
        message(FATAL_ERROR "${doc}/copyright is not in the machine-readable format")
    endif()
    file(READ "${doc}/changelog.Debian.gz" head LIMIT 8 HEX)
    execute_process(COMMAND gzip -dc "${doc}/changelog.Debian.gz" OUTPUT_VARIABLE text)
    if(NOT head MATCHES "^1f8b080000000000" OR NOT text MATCHES "^chartransfer \\([0-9.]+-[0-9]+\\) ")
        message(FATAL_ERROR "${doc}/changelog.Debian.gz (starts ${head}) is not a Debian changelog "
            "compressed with gzip -n")
    endif()
endforeach()

# The icon is a 32 by 32 PNG, as its folder promises: the signature, then the width and
# height of the IHDR chunk.
file(READ "${icon}" head LIMIT 24 HEX)
string(SUBSTRING "${head}" 0 16 signature)
string(SUBSTRING "${head}" 32 16 size)
if(NOT signature STREQUAL "89504e470d0a1a0a" OR NOT size STREQUAL "0000002000000020")
    message(FATAL_ERROR "${icon} is not a 32x32 PNG (starts ${head})")
endif()

# The desktop entry: valid by the freedesktop.org rules when the validator is installed,
# and in any case an application entry that starts the installed program with that icon.
find_program(validator desktop-file-validate)
if(validator)
    execute_process(COMMAND "${validator}" "${entry}"
        RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0 OR NOT output STREQUAL "")
        message(FATAL_ERROR "desktop-file-validate ${entry}:\n${output}")
    endif()
else()
    message(STATUS "desktop-file-validate not found (package desktop-file-utils); "
        "checking the entry's keys only")
endif()
file(STRINGS "${entry}" lines)
list(GET lines 0 group)
if(NOT group STREQUAL "[Desktop Entry]")
    message(FATAL_ERROR "${entry} does not begin with [Desktop Entry]")
endif()
set(wanted "Type=Application" "Exec=chartransfer" "Icon=chartransfer" "Terminal=false")
foreach(line IN LISTS wanted)
    if(NOT line IN_LIST lines)
        message(FATAL_ERROR "${entry} lacks the line ${line}")
    endif()
endforeach()
list(FILTER lines INCLUDE REGEX "^Name=.")
if(NOT lines)
    message(FATAL_ERROR "${entry} has no Name")
endif()

file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "installed and complete: ${program}, ${entry}, ${icon}, ${scalable}, ${cli}, "
    "${manuals}, ${completion}, ${docs}")
