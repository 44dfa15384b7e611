# Fails when a program links a library that it must not: the browser gateway stands on io alone.
cmake_minimum_required(VERSION 3.25)
#   cmake "-DPROGRAM=<name>" "-DLINKED=<libraries...>" "-DFORBIDDEN=<libraries...>" -P CheckLinks.cmake
set(wrong "")
foreach(library IN LISTS FORBIDDEN)
    if(library IN_LIST LINKED)
        list(APPEND wrong ${library})
    endif()
endforeach()
if(wrong)
    message(FATAL_ERROR "${PROGRAM} links ${wrong} (it links: ${LINKED})")
endif()
message(STATUS "${PROGRAM} links none of ${FORBIDDEN}.")
