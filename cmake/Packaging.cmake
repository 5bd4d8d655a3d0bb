# Packages made with `cpack -G DEB` or `cpack -G RPM` in a build tree:
#   libovxsensorsvcs5       the library, its service library and signature
#                           (in lib/ovxSensorSvcs), the catalog, the trusted
#                           key, the schemas, the settings files' manual;
#   libovxsensorsvcs-dev    the headers, the pkg-config file, the CMake
#                           package, the development link, the manual pages
#                           of the functions and the overview;
#   ovx-agent-manager-sim   the simulator, its manual and its service unit;
#   ovxsensorsvcs-dbg       the debug information of the three binaries.
# Binaries are shipped stripped (cmake/ovxShipping.cmake), so neither
# generator may strip them again: the service library's signature covers
# the stripped bytes.
set(OVX_PACKAGE_RUNTIME libovxsensorsvcs5)
set(OVX_PACKAGE_DEVELOPMENT libovxsensorsvcs-dev)
set(OVX_PACKAGE_SIMULATOR ovx-agent-manager-sim)
set(OVX_PACKAGE_DEBUG ovxsensorsvcs-dbg)
set(OVX_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/cmake/packaging)

# Each package's own doc folder: the copyright file and the changelog.
configure_file(${OVX_PACKAGING_DIR}/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -9nc INPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog
                OUTPUT_FILE ${PROJECT_BINARY_DIR}/packaging/changelog.gz COMMAND_ERROR_IS_FATAL ANY)
foreach(component RUNTIME DEVELOPMENT SIMULATOR DEBUG)
    string(TOLOWER ${component} name)
    install(FILES ${OVX_PACKAGING_DIR}/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
            DESTINATION share/doc/${OVX_PACKAGE_${component}} COMPONENT ${name})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ovxsensorsvcs)
set(CPACK_PACKAGE_VENDOR "Zizozo Razarivi")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Zizozo Razarivi developers <developers@zizozo-razarivi.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL runtime development simulator debug)
set(CPACK_PROJECT_CONFIG_FILE ${OVX_PACKAGING_DIR}/CPackProject.cmake)
set(CPACK_OVX_RUNTIME_BINARIES ${OVX_LIBRARY_OUTPUT_DIR}/libovxSensorSvcs.so.${PROJECT_VERSION}
    ${OVX_SERVICE_OUTPUT_DIR}/libovxSessionConfigSvcs5.so)

# Each package's synopsis and description, for both generators (the
# synopses differ, so that `dpkg -l` tells the packages apart).
set(OVX_SUMMARY_RUNTIME "Sensor services library for endpoint agents")
set(OVX_DESCRIPTION_RUNTIME
    "The shared library an endpoint agent loads to talk to its Agent Manager,
with its signed session configuration services library, its message
catalog, its trusted key and the CML schemas.")
set(OVX_SUMMARY_DEVELOPMENT "Sensor services library for endpoint agents - development files")
set(OVX_DESCRIPTION_DEVELOPMENT
    "The C header, the pkg-config file and the CMake package of the sensor
services library, with a manual page for every function.")
set(OVX_SUMMARY_SIMULATOR "Agent Manager simulator for the sensor services library")
set(OVX_DESCRIPTION_SIMULATOR
    "Speaks the whole agent protocol over HTTP or HTTPS, keeps its state in
SQLite, shows a status page and injects faults on request. A service unit
runs it as a dedicated user.")
set(OVX_SUMMARY_DEBUG "Sensor services library and simulator - debug symbols")
set(OVX_DESCRIPTION_DEBUG
    "The debug information of the sensor services library, its session
configuration services library and the Agent Manager simulator.")
foreach(component RUNTIME DEVELOPMENT SIMULATOR DEBUG)
    set(CPACK_DEBIAN_${component}_DESCRIPTION "${OVX_SUMMARY_${component}}\n${OVX_DESCRIPTION_${component}}")
    set(CPACK_RPM_${component}_PACKAGE_SUMMARY "${OVX_SUMMARY_${component}}")
    set(CPACK_RPM_${component}_PACKAGE_DESCRIPTION "${OVX_DESCRIPTION_${component}}")
endforeach()

# Debian
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${OVX_PACKAGE_RUNTIME})
# Its dependencies come from cmake/packaging/CPackProject.cmake; its shlibs
# file and ldconfig trigger are written here.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/shlibs
     "libovxSensorSvcs ${PROJECT_VERSION_MAJOR} ${OVX_PACKAGE_RUNTIME} (>= ${PROJECT_VERSION})\n")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/runtime/shlibs ${PROJECT_BINARY_DIR}/packaging/runtime/triggers)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${OVX_PACKAGE_DEVELOPMENT})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${OVX_PACKAGE_RUNTIME} (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ${OVX_PACKAGE_SIMULATOR})
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DEBUG_PACKAGE_NAME ${OVX_PACKAGE_DEBUG})
set(CPACK_DEBIAN_DEBUG_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_DEBUG_PACKAGE_DEPENDS "${OVX_PACKAGE_RUNTIME} (= ${PROJECT_VERSION})")

# RPM
set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_LICENSE "LicenseRef-Proprietary")
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_URL "https://zizozo-razarivi.invalid/")
configure_file(${OVX_PACKAGING_DIR}/rpm-changelog.in ${PROJECT_BINARY_DIR}/packaging/rpm-changelog @ONLY)
set(CPACK_RPM_CHANGELOG_FILE ${PROJECT_BINARY_DIR}/packaging/rpm-changelog)
# No strip, no debuginfo extraction, no build-id links of rpmbuild's own:
# the files are already as shipped, and the signature must stay valid.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define __os_install_post %{nil}
%define debug_package %{nil}
%define _build_id_links none
%define packager ${CPACK_PACKAGE_CONTACT}")
# Folders every system has are not the packages' own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1 /usr/share/man/man3
    /usr/share/man/man5 /usr/share/man/man7 /usr/lib/systemd /usr/lib/systemd/system /usr/lib/debug
    /usr/lib/debug/.build-id /usr/share/pkgconfig)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/runtime/ldconfig "/sbin/ldconfig\n")
set(CPACK_RPM_RUNTIME_POST_INSTALL_SCRIPT_FILE ${PROJECT_BINARY_DIR}/packaging/runtime/ldconfig)
set(CPACK_RPM_RUNTIME_POST_UNINSTALL_SCRIPT_FILE ${PROJECT_BINARY_DIR}/packaging/runtime/ldconfig)
set(CPACK_RPM_RUNTIME_PACKAGE_NAME ${OVX_PACKAGE_RUNTIME})
set(CPACK_RPM_RUNTIME_PACKAGE_GROUP "System Environment/Libraries")
set(CPACK_RPM_DEVELOPMENT_PACKAGE_NAME ovxsensorsvcs-devel)
set(CPACK_RPM_DEVELOPMENT_PACKAGE_GROUP "Development/Libraries")
set(CPACK_RPM_DEVELOPMENT_PACKAGE_REQUIRES "${OVX_PACKAGE_RUNTIME} = ${PROJECT_VERSION}")
set(CPACK_RPM_SIMULATOR_PACKAGE_NAME ${OVX_PACKAGE_SIMULATOR})
set(CPACK_RPM_DEBUG_PACKAGE_NAME ovxsensorsvcs-debuginfo)
set(CPACK_RPM_DEBUG_PACKAGE_REQUIRES "${OVX_PACKAGE_RUNTIME} = ${PROJECT_VERSION}")

include(CPack)
