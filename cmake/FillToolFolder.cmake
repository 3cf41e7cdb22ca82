# Lays out the tool folder <DEST>/halvard_scripts/<ARCH>/ from the device tools installed on
# this machine. Run at every build, so the folder follows what is installed.
#
# With MODE "wrap" (Linux) every tool is a small wrapper script that runs the installed
# program: the program makes its tools executable (0755) each time it uses them, and that must
# only ever touch our own files, never a system binary. With MODE "copy" (a macOS bundle) the
# tools are copied in, so the bundle carries them.
#
# go-ios's `ios` is always copied: it is our own pinned copy (scripts/fetch-go-ios.sh), not a
# system binary, and an installed program must not depend on one user's cache folder.
#
#   cmake -DDEST=<folder> -DARCH=<silicon|intel> [-DMODE=wrap|copy] -DSOURCE_DIR=<repo>
#         [-DGO_IOS=<ios binary>] -P FillToolFolder.cmake

set(folder "${DEST}/halvard_scripts/${ARCH}")
file(MAKE_DIRECTORY "${folder}")

function(write_wrapper name target)
    if(MODE STREQUAL "copy")
        file(COPY_FILE "${target}" "${folder}/${name}" ONLY_IF_DIFFERENT)
        file(CHMOD "${folder}/${name}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
             GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
        return()
    endif()
    string(REPLACE "'" "'\\''" quoted "${target}")
    file(WRITE "${folder}/${name}.tmp" "#!/bin/sh\nexec '${quoted}' \"$@\"\n")
    file(CHMOD "${folder}/${name}.tmp" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    file(RENAME "${folder}/${name}.tmp" "${folder}/${name}")
endfunction()

set(homebrew /opt/homebrew/bin /usr/local/bin)
foreach(tool ideviceinfo idevice_id idevicepair)
    find_program(found_${tool} NAMES ${tool} NO_CACHE HINTS ${homebrew})
    if(found_${tool})
        write_wrapper(${tool} "${found_${tool}}")
    else()
        file(REMOVE "${folder}/${tool}")
        message(WARNING "${tool} not found: install libimobiledevice-utils")
    endif()
endforeach()

find_program(found_setlocation NAMES idevicesetlocation NO_CACHE HINTS ${homebrew})
if(found_setlocation)
    write_wrapper(idevicesetlocation-stock "${found_setlocation}")
    file(COPY_FILE "${SOURCE_DIR}/tools/idevicesetlocation-hold.sh"
         "${folder}/idevicesetlocation" ONLY_IF_DIFFERENT)
    file(CHMOD "${folder}/idevicesetlocation" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
else()
    file(REMOVE "${folder}/idevicesetlocation" "${folder}/idevicesetlocation-stock")
endif()

# pymobiledevice3 comes from Python's package index; use the one the user installed, if any.
find_program(found_pymobiledevice3 NAMES pymobiledevice3 NO_CACHE
             HINTS ${homebrew} "$ENV{HOME}/.local/bin")
if(found_pymobiledevice3)
    write_wrapper(pymobiledevice3 "${found_pymobiledevice3}")
else()
    file(REMOVE "${folder}/pymobiledevice3")
endif()

if(GO_IOS AND EXISTS "${GO_IOS}")
    if(NOT GO_IOS STREQUAL "${folder}/ios")
        file(COPY_FILE "${GO_IOS}" "${folder}/ios" ONLY_IF_DIFFERENT)
    endif()
    file(CHMOD "${folder}/ios" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
else()
    file(REMOVE "${folder}/ios")
    message(WARNING "go-ios not found: run scripts/fetch-go-ios.sh (iOS 17 and later need it "
                    "unless pymobiledevice3 is installed)")
endif()
