# The release build: hardened, and the same bytes from the same sources wherever they lie.
#
# Hardening: the flags Debian builds its packages with: buffer checks of the
# C library's string and memory functions (_FORTIFY_SOURCE, level 3 where the compiler has
# __builtin_dynamic_object_size), stack protection, stack-clash probes, control-flow
# protection, position-independent executables, and relocations resolved and made read-only at
# start (-z relro -z now). Only for the Release build on Linux: the sanitizer and fuzz builds
# (RelWithDebInfo) instrument memory themselves, and the Windows build has its own linker
# defaults.
include(CheckCXXCompilerFlag)
include(CheckCXXSourceCompiles)
include(CheckPIESupported)

# The compilers' version strings (.comment) say nothing a user needs: the installed programs
# go without them (make install and the package alike; after the package's strip).
# nv_drop_comment(program...), for programs installed to the binary folder; a no-op outside the
# hardened build.
function(nv_drop_comment)
  if(NOT NV_HARDENED)
    return()
  endif()
  foreach(program IN LISTS ARGN)
    install(CODE "execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
      COMMAND_ERROR_IS_FATAL ANY)")
  endforeach()
endfunction()

# Every date the installation and the packages carry (the manual pages', the changelog's, the
# files' times in the .deb and in the Windows archive) is SOURCE_DATE_EPOCH: from the
# environment, else the last commit's time, so that two builds of one commit give the same
# package.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(NV_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git log -1 --format=%ct WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE NV_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT NV_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")  # a tarball without git: its own date
  file(TIMESTAMP ${CMAKE_SOURCE_DIR}/CMakeLists.txt NV_SOURCE_DATE_EPOCH "%s" UTC)
endif()
set(ENV{SOURCE_DATE_EPOCH} ${NV_SOURCE_DATE_EPOCH})  # string(TIMESTAMP) takes it from there
string(TIMESTAMP NV_MAN_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP NV_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

set(NV_HARDENED OFF)
if(WIN32 OR NV_SANITIZE OR NOT CMAKE_BUILD_TYPE STREQUAL "Release")
  return()
endif()
set(NV_HARDENED ON)

# The source and build folders' names stay out of the programs, so that two clones in different
# folders build the same bytes. (The debugging builds keep them, for the debugger and the
# sanitizers' reports.)
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

check_cxx_source_compiles("
  #if !__has_builtin(__builtin_dynamic_object_size)
  #error no dynamic object size
  #endif
  int main() { return 0; }" NV_HAVE_FORTIFY_3)
if(NV_HAVE_FORTIFY_3)
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=3)
else()
  add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2)
endif()

foreach(flag -fstack-protector-strong -fstack-clash-protection -fcf-protection)
  string(MAKE_C_IDENTIFIER "NV_HAVE${flag}" have)
  check_cxx_compiler_flag(${flag} ${have})
  if(${have})
    add_compile_options(${flag})
  endif()
endforeach()

check_pie_supported(LANGUAGES CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)
add_link_options(-Wl,-z,relro,-z,now)

