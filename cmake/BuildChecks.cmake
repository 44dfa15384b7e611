# Checks on the build itself, run by CTest with the other tests: the core free of display libraries, and (once,
# in the release build) the direction of the layers and the formatting of the sources.

# kova_check_no_gui(<test name> <targets>...)
function(kova_check_no_gui name)
    set(binaries "")
    foreach(target IN LISTS ARGN)
        list(APPEND binaries $<TARGET_FILE:${target}>)
    endforeach()
    add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} "-DBINARIES=${binaries}"
                                  -P ${PROJECT_SOURCE_DIR}/cmake/CheckNoGui.cmake)
endfunction()

if(KOVA_SANITIZE)
    return()
endif()

add_test(NAME layers COMMAND ${CMAKE_COMMAND} -DSOURCE_DIR=${PROJECT_SOURCE_DIR}/src
                             -P ${PROJECT_SOURCE_DIR}/cmake/CheckLayers.cmake)

find_program(CLANG_FORMAT clang-format REQUIRED)
file(GLOB_RECURSE formatted_sources CONFIGURE_DEPENDS
     ${PROJECT_SOURCE_DIR}/src/*.h ${PROJECT_SOURCE_DIR}/src/*.cpp
     ${PROJECT_SOURCE_DIR}/tests/*.h ${PROJECT_SOURCE_DIR}/tests/*.cpp
     ${PROJECT_SOURCE_DIR}/bench/*.h ${PROJECT_SOURCE_DIR}/bench/*.cpp
     ${PROJECT_SOURCE_DIR}/tools/*.cpp)
add_test(NAME formatting COMMAND ${CLANG_FORMAT} --dry-run --Werror ${formatted_sources})
