# Fails when the engine reaches beyond QtCore:
#  - a file under src/world, src/items, src/transfer or src/engine includes a window header
#    (app/...) or a QtGui or QtWidgets header (<QtGui/...>, <QtWidgets>, <QColor>, <qwidget.h>,
#    any name found in those modules' header folders);
#  - chartransfer_engine links a library from outside the project other than QtCore;
#  - a program linked with the engine alone needs a Qt library other than QtCore (the
#    linker keeps only the libraries whose code is used, so this catches GUI code that
#    reached the engine by a way the two checks above do not see).
#
#   cmake -DSOURCE_DIR=<src> -DENGINE_LINKS=<a|b|...> -DPROJECT_TARGETS=<a|b|...>
#         -DGUI_INCLUDE_DIRS=<dir|dir> -DREADELF=<readelf> -DPROBE=<program>
#         -P checklayering.cmake
cmake_minimum_required(VERSION 3.16)

foreach(variable SOURCE_DIR GUI_INCLUDE_DIRS READELF PROBE)
    if(NOT DEFINED ${variable} OR "${${variable}}" STREQUAL "")
        message(FATAL_ERROR "checklayering.cmake: ${variable} is not set")
    endif()
endforeach()
string(REPLACE "|" ";" engine_links "${ENGINE_LINKS}")
string(REPLACE "|" ";" project_targets "${PROJECT_TARGETS}")
string(REPLACE "|" ";" gui_include_dirs "${GUI_INCLUDE_DIRS}")

set(problems)

# Every header name the two modules offer.
set(gui_headers)
foreach(dir IN LISTS gui_include_dirs)
    file(GLOB names RELATIVE ${dir} ${dir}/*)
    list(APPEND gui_headers ${names})
endforeach()
list(LENGTH gui_headers count)
if(count LESS 100)
    message(FATAL_ERROR "checklayering.cmake: found only ${count} headers in ${GUI_INCLUDE_DIRS}")
endif()

set(sources)
foreach(folder world items transfer engine)
    file(GLOB_RECURSE found ${SOURCE_DIR}/${folder}/*)
    list(APPEND sources ${found})
endforeach()
list(LENGTH sources count)
if(count EQUAL 0)
    message(FATAL_ERROR "checklayering.cmake: no engine sources under ${SOURCE_DIR}")
endif()
foreach(source IN LISTS sources)
    file(STRINGS ${source} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
    file(RELATIVE_PATH shown ${SOURCE_DIR} ${source})
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*$" "\\1" header
                "${line}")
        if(header MATCHES "(^|/)app/" OR header MATCHES "^Qt(Gui|Widgets)(/|$)"
                OR header IN_LIST gui_headers)
            list(APPEND problems "src/${shown} includes ${header}")
        endif()
    endforeach()
endforeach()

foreach(library IN LISTS engine_links)
    if(NOT library STREQUAL "Qt6::Core" AND NOT library IN_LIST project_targets)
        list(APPEND problems "chartransfer_engine links ${library}")
    endif()
endforeach()

execute_process(COMMAND ${READELF} -d ${PROBE} OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "checklayering.cmake: ${READELF} -d ${PROBE} failed")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*\\[[^]\n]*\\]" needed "${dynamic}")
set(found_core FALSE)
foreach(entry IN LISTS needed)
    string(REGEX REPLACE ".*\\[([^]]*)\\]" "\\1" library "${entry}")
    if(library MATCHES "^libQt6Core\\.")
        set(found_core TRUE)
    elseif(library MATCHES "^libQt")
        list(APPEND problems "a program on the engine alone needs ${library}")
    endif()
endforeach()
if(NOT found_core)
    message(FATAL_ERROR "checklayering.cmake: ${PROBE} does not need libQt6Core; is it the "
            "program on the engine?")
endif()

if(problems)
    list(JOIN problems "\n  " text)
    message(FATAL_ERROR "The engine must stay on QtCore alone:\n  ${text}\n"
            "Move window code under src/app, and link the engine with Qt6::Core only.")
endif()
message(STATUS "The engine folders include no window or GUI header and link QtCore only.")
