# What `make install` (cmake --install) puts in place, relative to the prefix, and the Debian
# package `make package` builds from the same rules (CPack's DEB generator). Tests, benchmarks
# and fuzz targets have no install rules and so are never installed.
include(GNUInstallDirs)

# udev reads rules from /usr/lib/udev/rules.d (and /etc/udev/rules.d), not from under
# /usr/local: with another prefix the rule is installed but udev does not see it.
set(NV_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "where the udev rule goes, under the prefix")
set(NV_DOC_DIR "${CMAKE_INSTALL_DATAROOTDIR}/doc/nv-term")
set(NV_PACKAGE_MAINTAINER "nv-term developers <nv-term@orvantis.example>"
    CACHE STRING "Maintainer field of the Debian package")

# Folders the installation creates get the usual mode whatever the umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
    GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(nv_programs nv-term nv52-sim nv-service)
if(TARGET nv-spc)
  list(APPEND nv_programs nv-spc)
endif()
install(TARGETS ${nv_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
nv_drop_comment(${nv_programs})

# Manual pages: man/PROGRAM.1.in, the version filled in, compressed as Debian ships them.
set(nv_man_pages)
foreach(program IN LISTS nv_programs)
  set(source ${CMAKE_SOURCE_DIR}/man/${program}.1.in)
  if(NOT EXISTS ${source})
    nv_left_out("${program} manual page" "man/${program}.1.in is missing")
    continue()
  endif()
  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  configure_file(${source} ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz COMMAND gzip -9n -c ${page} > ${page}.gz DEPENDS ${page}
                     COMMENT "Compressing the manual page ${program}.1")
  list(APPEND nv_man_pages ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${nv_man_pages})

install(FILES udev/60-nv52.rules DESTINATION ${NV_UDEV_RULES_DIR})

# Shell completion, where bash-completion looks for it by the command's name.
set(nv_completions completion/nv-service)
if(TARGET nv-spc)
  list(APPEND nv_completions completion/nv-spc)
endif()
install(FILES ${nv_completions}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions)

# Documentation, with the copyright and changelog every Debian package carries.
configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/packaging/changelog
                           > ${CMAKE_BINARY_DIR}/packaging/changelog.gz
                   DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.gz)
install(FILES README.md packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${NV_DOC_DIR})
install(FILES sim/README.md DESTINATION ${NV_DOC_DIR} RENAME nv52-sim.md)

# ---- the Debian package -------------------------------------------------------------------------
# CPack's DEB generator rather than a debian/ folder and dpkg-buildpackage: the package is made
# from the very install rules `make install` runs, out of the build already configured, so there
# is one list of files and no second build; dpkg-shlibdeps still computes Depends. A debian/
# folder pays off for a Debian archive's source package, which this tool does not need.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nv-term)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_CONTACT ${NV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${NV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # nv-term_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)  # Depends from the programs' shared libraries
# The package promises every program and transport. What this build lacks of them, with the
# configure step's reason: make package refuses to build such a package; make package-reduced
# (NV_PACKAGE_REDUCED=ON) builds it and says in its description what it lacks.
option(NV_PACKAGE_REDUCED "let the package lack USB, Bluetooth or nv-spc, and say so" OFF)
get_property(nv_left_out_list GLOBAL PROPERTY NV_LEFT_OUT)
set(NV_PACKAGE_LACKS "")  # each with its reason
set(nv_lacks_short "")   # the names alone
foreach(item IN LISTS nv_left_out_list)
  if(item MATCHES "^(USB transport|Bluetooth transport|nv-spc) ")
    list(APPEND NV_PACKAGE_LACKS "${item}")
    list(APPEND nv_lacks_short "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(JOIN NV_PACKAGE_LACKS "; " NV_PACKAGE_LACKS_TEXT)
if(NV_PACKAGE_LACKS AND NOT NV_PACKAGE_REDUCED)
  message(STATUS "make package will refuse this build: it lacks ${NV_PACKAGE_LACKS_TEXT}")
endif()

# The description promises what this build has.
set(nv_links "a serial port, the network")
if(NV_HAVE_LIBUSB)
  set(nv_links "USB, ${nv_links}")
endif()
if(NV_HAVE_BLUEZ)
  string(APPEND nv_links " or Bluetooth")
else()
  string(REPLACE ", the network" " or the network" nv_links "${nv_links}")
endif()
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for the NV-52 gamma spectrometer")
set(CPACK_PACKAGE_DESCRIPTION
    "nv-term drives an NV-52 handheld gamma spectrometer from a menu of short
commands: versions and status, date and time, firmware upload and
flashing, power off, assays and caesium-137 stabilisation. It reaches the
instrument over ${nv_links}.
Every spectrum the instrument sends is saved to spect.spc. It also builds
firmware containers offline.")
if(TARGET nv-spc)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
nv-spc shows a saved spectrum in the terminal or as a figure, finds and
measures its peaks, and exports it as N42 XML or CSV.")
endif()
string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
nv-service services a bench of instruments from one command (info, clock,
firmware flashing with verification, USB mode, assays, power off), with
exit codes, JSON output and a service record of what was done to each.
.
nv52-sim, a simulated instrument (or a bench of them), lets you try
nv-term and nv-service without hardware.")
if(NV_HAVE_LIBUSB)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
A udev rule gives the instrument's USB devices to the plugdev group and
to the user at the machine, so nv-term runs without root.")
endif()
if(NV_PACKAGE_LACKS)
  string(APPEND CPACK_PACKAGE_DESCRIPTION_SUMMARY " (reduced build)")
  list(JOIN nv_lacks_short ", " nv_lacks_short)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "
.
This is a reduced build: it lacks ${nv_lacks_short}.")
endif()

# Read by cpack before it builds the package, and run by make package before it builds the
# programs: the check above, and the package's time stamps.
configure_file(packaging/package_config.cmake.in ${CMAKE_BINARY_DIR}/packaging/package_config.cmake
               @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/package_config.cmake)
add_custom_target(package_check
                  COMMAND ${CMAKE_COMMAND} -P ${CMAKE_BINARY_DIR}/packaging/package_config.cmake)
# What the package holds (the tests are not in it): make package builds this, then runs cpack.
# cpack would first build everything, the tests included (its preinstall step); the installation
# needs only this. (make install and make package build before they install.)
add_custom_target(packaged DEPENDS ${nv_programs} man_pages changelog)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
# Maintainer scripts: reload the udev rules where udev runs (not in a container).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst
                                      ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
