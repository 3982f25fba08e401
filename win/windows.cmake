# The Windows build's own parts (included by CMakeLists.txt for Windows only): each program's
# resources, version information and application manifest; stripped programs; and
# `make windows-package`: build-win/nv-term-VERSION-win64.zip and nv-term-VERSION-x64.msi.
enable_language(RC)

# nv_windows_resources(target description): the manifest (as the invoker, Windows 7 to 11,
# UTF-8 as the code page, long paths) and the version information (product, version,
# description) linked into the program, which is stripped: the static runtimes' debug sections
# are no use to a user.
function(nv_windows_resources target description)
  set(NV_WIN_PROGRAM ${target})
  set(NV_WIN_DESCRIPTION "${description}")
  set(NV_WIN_VERSION4 "${PROJECT_VERSION}.0")
  string(REPLACE "." "," NV_WIN_VERSION_COMMAS "${NV_WIN_VERSION4}")
  set(NV_WIN_MANIFEST ${CMAKE_BINARY_DIR}/win/${target}.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/win/app.manifest.in ${NV_WIN_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/win/resources.rc.in ${CMAKE_BINARY_DIR}/win/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/win/${target}.rc)
  set_source_files_properties(${CMAKE_BINARY_DIR}/win/${target}.rc PROPERTIES
                              OBJECT_DEPENDS ${NV_WIN_MANIFEST})
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
endfunction()

nv_windows_resources(nv-term "NV-52 service console")
nv_windows_resources(nv52-sim "NV-52 simulated instrument")
nv_windows_resources(nv-service "NV-52 bench servicing tool")

# ---- make windows-package ----------------------------------------------------------------------
# One folder staged with the three programs, the README and copyright in Windows form (CR LF) and
# the manual pages as HTML; zipped with the time stamps of SOURCE_DATE_EPOCH, and made into the
# installer by win/build-msi.sh (wixl and msibuild, from Debian's wixl and msitools).
set(nv_win_name nv-term-${PROJECT_VERSION}-win64)
set(nv_win_stage ${CMAKE_BINARY_DIR}/${nv_win_name})
set(nv_win_zip ${CMAKE_BINARY_DIR}/${nv_win_name}.zip)
set(nv_win_msi ${CMAKE_BINARY_DIR}/nv-term-${PROJECT_VERSION}-x64.msi)
# The INF that binds the instrument to WinUSB travels with the programs.
set(nv_win_docs ${CMAKE_BINARY_DIR}/win/README.txt ${CMAKE_BINARY_DIR}/win/COPYRIGHT.txt
                ${CMAKE_SOURCE_DIR}/winusb/nv52-winusb.inf)
configure_file(win/README.txt.in ${CMAKE_BINARY_DIR}/win/README.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(packaging/copyright ${CMAKE_BINARY_DIR}/win/COPYRIGHT.txt @ONLY NEWLINE_STYLE CRLF)
find_program(NV_MANDOC mandoc)
if(NOT NV_MANDOC)
  set(NV_MANDOC sh -c
      "echo 'the manual pages as HTML need mandoc: scripts/setup-deps.sh windows' >&2; exit 1")
endif()
foreach(program nv-term nv-service nv52-sim)
  configure_file(man/${program}.1.in ${CMAKE_BINARY_DIR}/man/${program}.1 @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/win/${program}.html
                     COMMAND ${NV_MANDOC} -Thtml ${CMAKE_BINARY_DIR}/man/${program}.1
                             > ${CMAKE_BINARY_DIR}/win/${program}.html
                     DEPENDS ${CMAKE_BINARY_DIR}/man/${program}.1)
  list(APPEND nv_win_docs ${CMAKE_BINARY_DIR}/win/${program}.html)
endforeach()
string(TIMESTAMP nv_win_mtime "%Y-%m-%d %H:%M:%S UTC" UTC)
add_custom_command(
  OUTPUT ${nv_win_zip} ${nv_win_msi}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${nv_win_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${nv_win_stage}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:nv-term> $<TARGET_FILE:nv-service>
          $<TARGET_FILE:nv52-sim> ${nv_win_docs}
          ${nv_win_stage}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${nv_win_zip}
  COMMAND ${CMAKE_COMMAND} -E tar cf ${nv_win_zip} --format=zip "--mtime=${nv_win_mtime}"
          ${nv_win_name}
  COMMAND ${CMAKE_SOURCE_DIR}/win/build-msi.sh ${nv_win_stage} ${PROJECT_VERSION} ${nv_win_msi}
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
  DEPENDS nv-term nv-service nv52-sim ${nv_win_docs} ${CMAKE_SOURCE_DIR}/win/nv-term.wxs
          ${CMAKE_SOURCE_DIR}/win/build-msi.sh
  COMMENT "Windows archive and installer: ${nv_win_name}.zip, nv-term-${PROJECT_VERSION}-x64.msi")
add_custom_target(windows_package DEPENDS ${nv_win_zip} ${nv_win_msi})
