# The host-free library must not see libobs or Qt. Qt's headers are outside the default include path
# already; libobs installs under <prefix>/include/obs, which `#include <obs/...>` would reach. This shadows
# every such header with one that stops the compile, on an include directory only the host-free targets get.
set(KELVARA_HOST_GUARD_DIR "${CMAKE_BINARY_DIR}/host-free-guard")
file(REMOVE_RECURSE "${KELVARA_HOST_GUARD_DIR}")
foreach(host_include_root IN ITEMS /usr/include/obs /usr/local/include/obs)
    if(IS_DIRECTORY "${host_include_root}")
        file(GLOB_RECURSE host_headers RELATIVE "${host_include_root}" "${host_include_root}/*.h" "${host_include_root}/*.hpp")
        foreach(header IN LISTS host_headers)
            file(WRITE "${KELVARA_HOST_GUARD_DIR}/obs/${header}"
                 "#error \"libobs header obs/${header} included in host-free code\"\n")
        endforeach()
    endif()
endforeach()
file(MAKE_DIRECTORY "${KELVARA_HOST_GUARD_DIR}")
