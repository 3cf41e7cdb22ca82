# Fails when a file under src/ includes a header from a floor above its own, or when two folders
# include each other. The floors come from the top CMakeLists.txt:
#
#   cmake -DSOURCE_DIR=<repo> "-DFLOORS=app | device spoof | ... | platform" -P CheckFloors.cmake
#
# Floors run from the top down, separated by "|"; the folders of one floor by blanks.
cmake_minimum_required(VERSION 3.25)

string(REPLACE "|" ";" floors "${FLOORS}")
set(rank 0)
set(known "")
foreach(floor IN LISTS floors)
    string(STRIP "${floor}" floor)
    separate_arguments(folders UNIX_COMMAND "${floor}")
    foreach(folder IN LISTS folders)
        set(rank_${folder} ${rank})
        list(APPEND known ${folder})
    endforeach()
    math(EXPR rank "${rank} + 1")
endforeach()

file(GLOB_RECURSE sources RELATIVE "${SOURCE_DIR}/src" "${SOURCE_DIR}/src/*.h"
     "${SOURCE_DIR}/src/*.cpp")
set(errors "")
set(edges "")
foreach(source IN LISTS sources)
    string(REGEX REPLACE "/.*" "" from "${source}")
    if(NOT from IN_LIST known)
        string(APPEND errors "\n  src/${source}: the folder ${from}/ is on no floor")
        continue()
    endif()
    file(STRINGS "${SOURCE_DIR}/src/${source}" includes REGEX "^#include \"[a-z]+/")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" to "${line}")
        if(to STREQUAL from)
            continue()
        endif()
        if(NOT to IN_LIST known)
            string(APPEND errors "\n  src/${source}: includes ${to}/, which is on no floor")
        elseif(rank_${to} LESS rank_${from})
            string(APPEND errors "\n  src/${source}: ${from}/ includes ${to}/, a floor above it")
        endif()
        list(APPEND edges "${from}>${to}")
    endforeach()
endforeach()

list(REMOVE_DUPLICATES edges)
foreach(edge IN LISTS edges)
    string(REPLACE ">" ";" pair "${edge}")
    list(GET pair 0 a)
    list(GET pair 1 b)
    if("${b}>${a}" IN_LIST edges AND a STRLESS b)
        string(APPEND errors "\n  ${a}/ and ${b}/ include each other")
    endif()
endforeach()

if(errors)
    message(FATAL_ERROR "Includes against the floors (see the top of CMakeLists.txt):${errors}")
endif()
