# The Debian package qav-monitor: `cpack -G DEB` in a build tree configured for /usr
# (the ci preset) packages whatever `cmake --install` installs, laid out the Debian way.

set(QAV_PACKAGE_VERSION "" CACHE STRING
    "Version of the Debian package: empty for the project version, or one that begins with it")
# A tree configured before a release keeps its cached setting: a value that does not begin with
# the project's version would label the new programs with an old package version.
if(QAV_PACKAGE_VERSION STREQUAL "")
  set(package_version "${PROJECT_VERSION}")
elseif(QAV_PACKAGE_VERSION MATCHES "^${PROJECT_VERSION}([+~-].*)?$")
  set(package_version "${QAV_PACKAGE_VERSION}")
else()
  message(FATAL_ERROR "QAV_PACKAGE_VERSION is ${QAV_PACKAGE_VERSION}, but the programs are "
                      "${PROJECT_VERSION}: give a version that begins with ${PROJECT_VERSION} "
                      "(such as ${PROJECT_VERSION}+site1), or -DQAV_PACKAGE_VERSION= for ${PROJECT_VERSION}")
endif()
set(QAV_PACKAGE_MAINTAINER "QAV monitor maintainers <maintainers@qav-monitor.example>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  message(STATUS "Packaging: the units name programs under ${CMAKE_INSTALL_PREFIX}; "
                 "a Debian package needs a tree configured with CMAKE_INSTALL_PREFIX=/usr")
endif()

# The changelog's newest entry is the version being released.
file(STRINGS "${PROJECT_SOURCE_DIR}/packaging/changelog" newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^qav-monitor \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog starts with \"${newest}\": "
                      "add an entry for ${PROJECT_VERSION} at its top")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qav-monitor)
set(CPACK_PACKAGE_VERSION "${package_version}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor and service for a rechargeable battery module")
set(CPACK_PACKAGE_DESCRIPTION [=[
Watches a battery module whose controller answers status requests on a
serial line, directly or through a network serial endpoint, and decodes
its gas gauge, cell voltages, current, temperatures, humidity, alert
registers and status bits.
.
The package contains the console monitor qav_test, the service qavd
(one systemd instance per battery, configured in /etc/qavd), the battery
simulator battery_sim for trying it without hardware, plot_datalog to
chart data logs, their manual pages and the systemd units.]=])

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QAV_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# qavd's page loads the chart library from where this package installs it, and the
# page and the metrics are served by the HTTP server library, which qavd loads only
# when it serves HTTP, so the binaries' dependencies cannot name it; the libraries
# the binaries link are added after these.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libjs-chart.js, libmicrohttpd12")
# plot_datalog draws with gnuplot; qavd loads the MQTT client library only when
# --mqtt-broker is given, so the binaries' dependencies cannot name it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnuplot-nox, libmosquitto1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/postinst;${PROJECT_SOURCE_DIR}/packaging/prerm;${PROJECT_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Runs in the staging tree after the install: units, /etc, compressed manual pages,
# the Debian documentation files and the conffiles list.
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/cmake/DebianLayout.cmake")
set(CPACK_QAV_PACKAGING_DIR "${PROJECT_SOURCE_DIR}/packaging")
set(CPACK_QAV_README "${PROJECT_SOURCE_DIR}/README.md")
set(CPACK_QAV_GUIDE "${PROJECT_SOURCE_DIR}/doc/qavd.md")
set(CPACK_QAV_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")

include(CPack)

# As root the test installs, upgrades and purges the package on this machine.
option(QAV_PACKAGE_TESTS "Test the Debian package (as root: install, upgrade and purge it here)" OFF)
if(BUILD_TESTING AND QAV_PACKAGE_TESTS)
  add_test(NAME debian_package
           COMMAND ${PROJECT_SOURCE_DIR}/tests/package_test.sh ${PROJECT_SOURCE_DIR} ${PROJECT_BINARY_DIR}
                   ${package_version})
  # Waits for a dpkg lock held by someone else for up to five minutes.
  set_tests_properties(debian_package PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 LABELS package)
endif()
