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
set(NV_MAN_DATE "2026-12-07")  # the date the manual pages show; moves when they change

set(nv_programs nv-term nv52-sim)
if(TARGET nv-spc)
  list(APPEND nv_programs nv-spc)
endif()
install(TARGETS ${nv_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

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
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "service console for the NV-52 gamma spectrometer")
set(CPACK_PACKAGE_DESCRIPTION
    "nv-term connects to an NV-52 handheld gamma spectrometer over USB, a
serial port, the network or Bluetooth and drives it from a menu of short
commands: versions and status, date and time, firmware upload and
flashing, power off, assays and caesium-137 stabilisation. Every
spectrum the instrument sends is saved to spect.spc. It also builds
firmware containers offline.
.
nv-spc shows a saved spectrum in the terminal or as a figure, finds and
measures its peaks, and exports it as N42 XML or CSV.
.
nv52-sim, a simulated instrument, lets you try nv-term without hardware.
.
A udev rule gives the instrument's USB devices to the plugdev group and
to the user at the machine, so nv-term runs without root.")
# Maintainer scripts: reload the udev rules where udev runs (not in a container).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_SOURCE_DIR}/packaging/postinst
                                      ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
