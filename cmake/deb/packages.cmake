# The Debian packages, split as Debian splits a library:
#   libqivma7      the library (and the logging stand-in that our programs share)
#   libqivma-dev   the header, the development link and the pkg-config file
#   qivma          the tool and the simulator, their manual pages and completion
#   qivma-gateway  the gateway, its unit and its configuration
# cpack makes them from the install components of the same names.
#
# What CPack does not do, and what is done instead:
# - a library under /usr/lib gets postinst and postrm scripts that call
#   ldconfig, with no way to turn them off; the trigger (below) is what
#   Debian asks for, and the call does the same work once more;
# - no dpkg trigger: the `triggers` file is handed over as a control file;
# - no changelog: written at cpack time (deb_changelog.cmake), so that a
#   rebuild with another revision carries its own;
# - no Multi-Arch field.
# Our packages depend on each other at the exact version (they are built
# together); others get their dependency on libqivma7 from its shlibs file.

set(QIVMA_DEB_REVISION 1 CACHE STRING
    "The Debian revision of the packages (cpack -D CPACK_DEBIAN_PACKAGE_RELEASE=N overrides it)")
set(QIVMA_DEB_LIBRARY libqivma${PROJECT_VERSION_MAJOR})
set(QIVMA_DEB_DIR ${CMAKE_CURRENT_LIST_DIR})

# Each package's copyright and changelog, where Debian looks for them. The
# changelog is written by cpack; `cmake --install` goes without it.
set(QIVMA_DEB_PACKAGES library ${QIVMA_DEB_LIBRARY} development libqivma-dev tools qivma)
if(TARGET qivma_gateway)
    list(APPEND QIVMA_DEB_PACKAGES gateway qivma-gateway)
endif()
set(QIVMA_DEB_COMPONENTS)
while(QIVMA_DEB_PACKAGES)
    list(POP_FRONT QIVMA_DEB_PACKAGES component package)
    list(APPEND QIVMA_DEB_COMPONENTS ${component})
    string(TOUPPER ${component} COMPONENT)
    set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
    install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    install(FILES ${PROJECT_BINARY_DIR}/deb/changelog.Debian.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component} OPTIONAL)
endwhile()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QIVMA_DEB_COMPONENTS})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_NAME qivma)
set(CPACK_PACKAGE_VENDOR "qivma")
# Each package's synopsis is the first line of its description.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "qivma maintainers <maintainers@qivma.invalid>")
set(CPACK_DEBIAN_PACKAGE_RELEASE ${QIVMA_DEB_REVISION})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Dependencies on Debian's libraries from dpkg-shlibdeps. It must find our own
# libraries too, which are in another package: in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/host)
# libqivma 7 libqivma7 (>= 7.0.0): software built against this version runs
# with any later one of the same soname.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
    "MEWTOCOL-COM driver for FP-class programmable controllers
The qivma driver talks to FP3, FP5 and FP10-class programmable controllers
over serial lines with the MEWTOCOL-COM protocol: it reads and writes their
registers, relays and contacts through one entry point, QivMain.

This package holds the shared library.")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA ${QIVMA_DEB_DIR}/library/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
    "MEWTOCOL-COM driver for FP-class controllers (development files)
The qivma driver talks to FP3, FP5 and FP10-class programmable controllers
over serial lines with the MEWTOCOL-COM protocol.

This package holds what a program that calls the driver is built with: the
C header, the development link and the pkg-config file.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "tool and simulator for FP-class controllers on MEWTOCOL-COM lines
qivma reads, writes, polls and scans the registers and contacts of FP3, FP5
and FP10-class programmable controllers on a serial line, and shows the
frames on the line. fpsim plays such controllers on a pseudo-terminal or a
serial device, with the faults of real sites, for testing without wiring.")

if(TARGET qivma_gateway)
    set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION net)
    set(CPACK_DEBIAN_GATEWAY_DESCRIPTION
        "gateway from FP-class controllers to Modbus TCP and MQTT
qivma-gateway scans the registers and contacts of FP3, FP5 and FP10-class
programmable controllers on serial lines and serves them to Modbus TCP
clients and an MQTT broker, with Home Assistant's discovery, a status page
and Prometheus metrics. A value is served only while it is fresh.

The service is installed but not enabled: edit /etc/qivma/gateway.yaml,
check it with qivma-gateway --check, then enable it.")
    # The configuration is the site's once edited: an upgrade keeps it.
    file(WRITE ${PROJECT_BINARY_DIR}/deb/gateway/conffiles
        "/etc/qivma/gateway.yaml\n/etc/qivma/mqtt-password\n")
    set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/deb/gateway/conffiles
        ${QIVMA_DEB_DIR}/gateway/postinst ${QIVMA_DEB_DIR}/gateway/prerm
        ${QIVMA_DEB_DIR}/gateway/postrm)
endif()

# At cpack time, once the revision is known: the exact dependencies between
# our packages and each package's changelog.
configure_file(${QIVMA_DEB_DIR}/cpack_project.cmake.in ${PROJECT_BINARY_DIR}/deb/cpack_project.cmake
    @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/deb/cpack_project.cmake)
include(CPack)
