# Checks that the library's folders include one another in one direction only: a file in src/
# may include its own folder, the folders of lower layers and the public headers, never a folder
# of a higher layer. Run as a test: cmake -DSOURCE_DIR=<repo> -P CheckLayers.cmake
#
# Layers, lowest first (folders on one line share a layer):
#   0  the foundation: basalt utils rx dispatch di, and src/ itself
#   1  internals   the protocol's types, the InnerConnection interface, ContainerAccess
#   2  dbus        messages and codecs on sd-bus; registry, the live containers by id
#   3  values      the containers, with values/client and values/additions
#   4  channel     the transport to the daemon
#   5  connection  the connection the host uses
#   6  monitor     the connection monitor and the daemon-online centre
#   7  settings    the settings handle that follows the monitor across daemon restarts
set(layer_. 0)
foreach(folder basalt utils rx dispatch di)
    set(layer_${folder} 0)
endforeach()
set(layer_internals 1)
set(layer_dbus 2)
set(layer_registry 2)
foreach(folder values values/client values/additions)
    set(layer_${folder} 3)
endforeach()
set(layer_channel 4)
set(layer_connection 5)
set(layer_monitor 6)
set(layer_settings 7)

file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}/src" "${SOURCE_DIR}/src/*.h" "${SOURCE_DIR}/src/*.cpp")
set(violations "")
foreach(file IN LISTS files)
    get_filename_component(folder "${file}" DIRECTORY)
    if(folder STREQUAL "")
        set(folder ".")
    endif()
    if(NOT DEFINED layer_${folder})
        list(APPEND violations "src/${file}: its folder has no layer")
        continue()
    endif()
    file(STRINGS "${SOURCE_DIR}/src/${file}" includes REGEX "^#include \"[^\"]+\"")
    foreach(line IN LISTS includes)
        string(REGEX REPLACE "^#include \"([^\"]+)\".*" "\\1" included "${line}")
        get_filename_component(target "${included}" DIRECTORY)
        if(target STREQUAL "" OR target MATCHES "^velkor(/|$)")
            continue()  # the same folder, or a public header
        endif()
        if(NOT DEFINED layer_${target})
            list(APPEND violations "src/${file}: includes ${included}, in a folder with no layer")
        elseif(layer_${target} GREATER layer_${folder})
            list(APPEND violations "src/${file}: ${folder} includes ${included}, a higher layer")
        endif()
    endforeach()
endforeach()

if(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "Includes against the layers:\n  ${text}")
endif()
list(LENGTH files count)
message(STATUS "${count} files of src/ include only their own layer and the ones below")
