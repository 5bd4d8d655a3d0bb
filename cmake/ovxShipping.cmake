# What is installed is what a distribution ships: binaries stripped, their
# debug information in a debug component (lib/debug/.build-id, where
# debuggers look), the service library signed after stripping.
find_program(OVX_OBJCOPY NAMES objcopy REQUIRED)
find_program(OVX_READELF NAMES readelf REQUIRED)

# ovx_ship(target component kind folder [SIGN]): after install(TARGETS) of
# target into folder (relative to the prefix) for component.
function(ovx_ship target component kind folder)
    set(debug_dir ${PROJECT_BINARY_DIR}/debug/${target})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DDEBUG_DIR=${debug_dir} -DOBJCOPY=${OVX_OBJCOPY}
                -DREADELF=${OVX_READELF} -P ${PROJECT_SOURCE_DIR}/cmake/ovxSplitDebug.cmake
        VERBATIM)
    set(sign "")
    if("SIGN" IN_LIST ARGN)
        set(sign "-DKEY=${OVX_EFFECTIVE_SIGNING_KEY}" "-DOPENSSL=${OVX_OPENSSL}")
    endif()
    install(CODE "execute_process(COMMAND \"${CMAKE_COMMAND}\"
        \"-DFILE=\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${folder}/$<TARGET_FILE_NAME:${target}>\"
        \"-DDEBUG_DIR=${debug_dir}\" \"-DOBJCOPY=${OVX_OBJCOPY}\" \"-DKIND=${kind}\" ${sign}
        -P \"${PROJECT_SOURCE_DIR}/cmake/ovxShipBinary.cmake\" COMMAND_ERROR_IS_FATAL ANY)"
        COMPONENT ${component})
    install(DIRECTORY ${debug_dir}/ DESTINATION lib/debug COMPONENT debug)
endfunction()
