# The Debian packages, as Linux users install software (scripts/packages.sh
# configures a build with CASHDRAWER_DEB=ON and the prefix /usr, then runs
# cpack -G DEB):
#   libcashdrawer0      the library, libcashdrawer.so.0
#   libcashdrawer-dev   its header, CMake package and pkg-config file
#   cashdrawer          the technician's tool, with the simulated library
#   cashdrawer-agent    the agent, its systemd unit, its settings and state
#                       folder, and a system account
# Each package has the copyright file and the changelog Debian asks for.
set(deb_packages lib:libcashdrawer0 dev:libcashdrawer-dev tool:cashdrawer agent:cashdrawer-agent)
set(deb_generated ${CMAKE_BINARY_DIR}/generated/debian)
file(MAKE_DIRECTORY ${deb_generated})

# The changelog of a package made from this source: one entry, this
# version, compressed as Debian's tools leave it (gzip -9n).
string(TIMESTAMP deb_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  # The same commit gives the same bytes: the date is the commit's.
  execute_process(COMMAND date -u -R -d "@$ENV{SOURCE_DATE_EPOCH}" OUTPUT_VARIABLE deb_date
    OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
set(deb_maintainer "Cash drawer maintainers <cashdrawer@example.org>")
foreach(entry IN LISTS deb_packages)
  string(REPLACE ":" ";" pair ${entry})
  list(GET pair 0 component)
  list(GET pair 1 package)
  file(WRITE ${deb_generated}/${package}/changelog
    "${package} (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
    "  * Release ${PROJECT_VERSION}: see /usr/share/doc/cashdrawer/CHANGELOG.md in the source.\n\n"
    " -- ${deb_maintainer}  ${deb_date}\n")
  # (A native package, one without a Debian revision, names it changelog.gz.)
  execute_process(COMMAND gzip -9nf ${deb_generated}/${package}/changelog RESULT_VARIABLE gzipped)
  if(NOT gzipped EQUAL 0)
    message(FATAL_ERROR "gzip is needed to make the Debian packages")
  endif()
  # Debian's copyright file: the licence, and where the third parties'
  # notices stand beside it (Debian wants the common licences' texts, the
  # Apache one among them, referred to, not copied into this file).
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  file(WRITE ${deb_generated}/${package}/copyright "${licence}
The binaries carry code of third parties under their own licences (MIT,
BSD, Boost, and the Apache License 2.0, whose text is in
/usr/share/common-licenses/Apache-2.0): THIRD-PARTY-NOTICES, beside this
file, names each with its notice.
")
  install(FILES ${deb_generated}/${package}/changelog.gz ${deb_generated}/${package}/copyright
    ${PROJECT_SOURCE_DIR}/THIRD-PARTY-NOTICES DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME DEB-DEFAULT)
endforeach()

# The agent's settings, as a configuration file of the package: dpkg keeps
# a technician's edits across upgrades. Its state folder and its account
# are made by the package's scripts.
install(FILES ${PROJECT_SOURCE_DIR}/agent/cashdrawer-agent.ini DESTINATION /etc/cashdrawer COMPONENT agent)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME cashdrawer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${deb_maintainer}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${deb_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://example.org/cashdrawer")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL lib dev tool agent)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# The loader's cache learns of the library through dpkg's trigger.
file(WRITE ${deb_generated}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${deb_generated}/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "cash drawer library for point-of-sale terminals
Kicks a terminal's cash drawer open and reads whether it is open or closed,
for the terminal models it knows: GPIO bits in the I/O port space, a Super
I/O chip's GPIO, fixed I/O ports, GPIO registers in physical memory, and
serial drawers. A C API: libcashdrawer.so.0.")
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libcashdrawer0 (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "cash drawer library for point-of-sale terminals: development files
The header cash_drawer.h, the CMake package CashDrawer and the pkg-config
file cashdrawer, for building programs against libcashdrawer.so.0; and
cash_drawer_sim.h, the simulated terminal's controls.")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "cash drawer tool for technicians and integrators
cashdrawer opens a drawer, reads its state, watches it and checks what the
terminal needs, through the drawer logic; with --simulate, on a simulated
terminal that prints every port and memory access. The simulated library,
a drop-in for libcashdrawer.so.0, is in /usr/lib/*/cashdrawer-sim.")
set(CPACK_DEBIAN_AGENT_PACKAGE_DEPENDS "libcashdrawer0 (= ${PROJECT_VERSION}), adduser")
set(CPACK_COMPONENT_AGENT_DESCRIPTION "cash drawer agent: drawer events, journal, web tills and fleet
cashdrawer-agent watches the terminal's drawers, numbers every event and
keeps a hash-chained journal of them, serves web tills on the loopback
address, and publishes to the chain's MQTT broker. A systemd unit runs it;
name the drawers in /etc/cashdrawer/cashdrawer-agent.ini first.")
set(CPACK_DEBIAN_AGENT_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/cmake/debian/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/postrm
  ${deb_generated}/conffiles)
file(WRITE ${deb_generated}/conffiles "/etc/cashdrawer/cashdrawer-agent.ini\n")
include(CPack)
