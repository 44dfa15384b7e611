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

# kova_link_closure(<target> <variable>): every target that <target> links, directly or through others.
function(kova_link_closure target variable)
    set(seen "")
    set(pending ${target})
    while(pending)
        list(POP_FRONT pending current)
        if(NOT TARGET "${current}" OR current IN_LIST seen)
            continue()
        endif()
        list(APPEND seen ${current})
        get_target_property(type ${current} TYPE)
        set(properties INTERFACE_LINK_LIBRARIES)
        if(NOT type STREQUAL "INTERFACE_LIBRARY")
            list(APPEND properties LINK_LIBRARIES)
        endif()
        foreach(property IN LISTS properties)
            get_target_property(libraries ${current} ${property})
            if(libraries)
                list(APPEND pending ${libraries})
            endif()
        endforeach()
    endwhile()
    list(REMOVE_ITEM seen ${target})
    set(${variable} ${seen} PARENT_SCOPE)
endfunction()

# The browser gateway is a second program over io: none of the server's other layers may reach into it.
if(TARGET kova-web)
    kova_link_closure(kova-web web_linked)
    add_test(NAME web_links COMMAND ${CMAKE_COMMAND} -DPROGRAM=kova-web "-DLINKED=${web_linked}"
                                    "-DFORBIDDEN=kova_log;kova_settings;kova_relay;kova_ui;kova_app"
                                    -P ${PROJECT_SOURCE_DIR}/cmake/CheckLinks.cmake)
    kova_check_no_gui(web_without_gui kova-web)
endif()

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
