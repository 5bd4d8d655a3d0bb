# Debian packages, made with `cpack -G DEB` in a build tree:
#   libovxsensorsvcs5       the library, its service library and signature,
#                           the catalog, the trusted key and the schemas;
#   libovxsensorsvcs-dev    the headers, the pkg-config file, the CMake
#                           package and the development link;
#   ovx-agent-manager-sim   the simulator.
# Dependencies on Debian's runtime packages come from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ovxsensorsvcs)
set(CPACK_PACKAGE_VENDOR "Zizozo Razarivi")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Zizozo Razarivi: an endpoint agent's conversation with its Agent Manager")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL runtime development simulator)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Zizozo Razarivi developers <developers@zizozo-razarivi.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Files are packaged as built, not stripped: the service library's signature
# covers its bytes, and a stripped copy would no longer match it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libovxsensorsvcs5)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "Zizozo Razarivi sensor services library\n The shared library an endpoint agent loads to talk to its Agent\n Manager, with its signed session configuration services library, its\n message catalog, its trusted key and the CML schemas.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libovxsensorsvcs-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libovxsensorsvcs5 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "Zizozo Razarivi sensor services library: development files\n The C header, the pkg-config file and the CMake package of the library.")

set(CPACK_DEBIAN_SIMULATOR_PACKAGE_NAME ovx-agent-manager-sim)
set(CPACK_DEBIAN_SIMULATOR_PACKAGE_SECTION net)
set(CPACK_COMPONENT_SIMULATOR_DESCRIPTION
    "Agent Manager simulator for Zizozo Razarivi\n Speaks the whole agent protocol over HTTP(S), keeps its state in\n SQLite, and injects faults on request.")

include(CPack)
