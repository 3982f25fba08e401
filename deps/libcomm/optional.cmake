# The optional transports of the communication library, found at configure time:
#   USB through libusb-1.0 (pkg-config libusb-1.0)     NV_WITH_USB=OFF leaves it out
#   Bluetooth through BlueZ (bluetooth/bluetooth.h and libbluetooth)   NV_WITH_BT=OFF leaves it out
# Without them the build still succeeds: the USB listing finds nothing and no Bluetooth
# controller is reported. The compile definitions are public, so tests see what was built.
option(NV_WITH_USB "USB transport through libusb-1.0 when it is found" ON)
option(NV_WITH_BT "Bluetooth transport through BlueZ when it is found" ON)

if(NOT TARGET comm OR NOT COMM_SOURCES)
  return()
endif()

set(NV_HAVE_LIBUSB OFF)
if(NV_WITH_USB)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(LIBUSB QUIET IMPORTED_TARGET libusb-1.0)
  endif()
  if(LIBUSB_FOUND)
    set(NV_HAVE_LIBUSB ON)
    target_link_libraries(comm PUBLIC PkgConfig::LIBUSB)
    target_compile_definitions(comm PUBLIC NV_HAVE_LIBUSB=1)
  endif()
endif()

set(NV_HAVE_BLUEZ OFF)
if(NV_WITH_BT)
  find_path(BLUEZ_INCLUDE_DIR bluetooth/bluetooth.h)
  find_library(BLUEZ_LIBRARY bluetooth)
  if(BLUEZ_INCLUDE_DIR AND BLUEZ_LIBRARY)
    set(NV_HAVE_BLUEZ ON)
    target_include_directories(comm SYSTEM PUBLIC ${BLUEZ_INCLUDE_DIR})
    target_link_libraries(comm PUBLIC ${BLUEZ_LIBRARY})
    target_compile_definitions(comm PUBLIC NV_HAVE_BLUEZ=1)
  endif()
endif()

message(STATUS "libcomm: USB through libusb-1.0: ${NV_HAVE_LIBUSB}; Bluetooth through BlueZ: ${NV_HAVE_BLUEZ}")
