# Checks that the public headers show nothing of the library's internals: no header under
# include/velkor (the testing helpers aside) names the internal connection, queue, coder or logger
# types, or keeps a "Library-internal" section (in any case). Run as a test:
#   cmake -DSOURCE_DIR=<repo> -P CheckPublicHeaders.cmake
set(internal_names InnerConnection ReadWriteQueue DeserializerOnClient DeserializerBase
    SerializerBase QZLogger Library-internal)

file(GLOB_RECURSE headers "${SOURCE_DIR}/include/velkor/*.h")
list(FILTER headers EXCLUDE REGEX "/include/velkor/testing/")
set(violations "")
foreach(header IN LISTS headers)
    file(READ "${header}" text)
    string(TOLOWER "${text}" text)
    foreach(name IN LISTS internal_names)
        string(TOLOWER "${name}" lower)
        string(FIND "${text}" "${lower}" at)
        if(NOT at EQUAL -1)
            file(RELATIVE_PATH shown "${SOURCE_DIR}" "${header}")
            list(APPEND violations "${shown}: names ${name}")
        endif()
    endforeach()
endforeach()

if(violations)
    list(JOIN violations "\n  " text)
    message(FATAL_ERROR "Library internals in the public headers:\n  ${text}")
endif()
list(LENGTH headers count)
message(STATUS "${count} public headers name none of the library's internals")
