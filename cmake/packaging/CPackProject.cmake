# Read by cpack for each generator, after the configuration.
if(CPACK_GENERATOR STREQUAL "DEB")
    # The runtime package's dependencies from dpkg-shlibdeps, run here rather
    # than by CPack: CPack's own run would also add maintainer scripts that
    # call ldconfig, where the package's ldconfig trigger does that job.
    set(work ${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps)
    file(MAKE_DIRECTORY ${work}/debian)
    file(TOUCH ${work}/debian/control)
    execute_process(COMMAND dpkg-shlibdeps -O ${CPACK_OVX_RUNTIME_BINARIES} WORKING_DIRECTORY ${work}
                    OUTPUT_VARIABLE depends RESULT_VARIABLE result ERROR_VARIABLE errors)
    if(NOT result EQUAL 0 OR NOT depends MATCHES "shlibs:Depends=([^\n]*)")
        message(FATAL_ERROR "dpkg-shlibdeps failed: ${errors}")
    endif()
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
