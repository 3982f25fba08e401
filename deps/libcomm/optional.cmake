# The optional transports of the communication library, found at configure time:
#   USB through libusb-1.0 (pkg-config libusb-1.0)     NV_WITH_USB=OFF leaves it out
#   Bluetooth through BlueZ (bluetooth/bluetooth.h and libbluetooth)   NV_WITH_BT=OFF leaves it out
# Each is built only where it is found (its files are added here). Without them the build still
# succeeds with usb_absent.cpp and bt_absent.cpp in their place: the USB listing finds nothing
# and no Bluetooth controller is reported. The compile definitions are public, so tests see
# what was built.
#   On Windows: USB through WinUSB and SetupAPI, Bluetooth through the system's Bluetooth API
#   and Winsock, all of which MinGW-w64 ships (NV_HAVE_WINUSB, NV_HAVE_WINBT).
option(NV_WITH_USB "USB transport through libusb-1.0 when it is found" ON)
option(NV_WITH_BT "Bluetooth transport through BlueZ when it is found" ON)

if(WIN32)
  set(NV_HAVE_WINUSB OFF)
  set(NV_HAVE_WINBT OFF)
  if(NV_WITH_USB)
    set(NV_HAVE_WINUSB ON)
    target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/usb_win.cpp)
    target_link_libraries(comm PUBLIC setupapi winusb)
    target_compile_definitions(comm PUBLIC NV_HAVE_WINUSB=1)
  else()
    target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/usb_absent.cpp)
    nv_left_out("USB transport" "NV_WITH_USB=OFF")
  endif()
  if(NV_WITH_BT)
    set(NV_HAVE_WINBT ON)
    target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bluetooth_link.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/bluetooth_inquiry.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/bluetooth_win.cpp)
    target_compile_definitions(comm PUBLIC NV_HAVE_WINBT=1)
  else()
    target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bt_absent.cpp)
    nv_left_out("Bluetooth transport" "NV_WITH_BT=OFF")
  endif()
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
    target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/usb_libusb.cpp)
    target_link_libraries(comm PUBLIC PkgConfig::LIBUSB)
    target_compile_definitions(comm PUBLIC NV_HAVE_LIBUSB=1)
  elseif(PkgConfig_FOUND)
    nv_left_out("USB transport" "libusb-1.0 not found: libusb-1.0-0-dev")
  else()
    nv_left_out("USB transport" "pkg-config not found: pkg-config")
  endif()
else()
  nv_left_out("USB transport" "NV_WITH_USB=OFF")
endif()

if(NOT NV_HAVE_LIBUSB)
  target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/usb_absent.cpp)
endif()

set(NV_HAVE_BLUEZ OFF)
if(NV_WITH_BT)
  find_path(BLUEZ_INCLUDE_DIR bluetooth/bluetooth.h)
  find_library(BLUEZ_LIBRARY bluetooth)
  if(BLUEZ_INCLUDE_DIR AND BLUEZ_LIBRARY)
    set(NV_HAVE_BLUEZ ON)
    target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bluetooth_link.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/bluetooth_inquiry.cpp
                                ${CMAKE_CURRENT_LIST_DIR}/bluetooth_bluez.cpp)
    target_include_directories(comm SYSTEM PUBLIC ${BLUEZ_INCLUDE_DIR})
    target_link_libraries(comm PUBLIC ${BLUEZ_LIBRARY})
    target_compile_definitions(comm PUBLIC NV_HAVE_BLUEZ=1)
  else()
    nv_left_out("Bluetooth transport" "BlueZ not found: libbluetooth-dev")
  endif()
else()
  nv_left_out("Bluetooth transport" "NV_WITH_BT=OFF")
endif()
if(NOT NV_HAVE_BLUEZ)
  target_sources(comm PRIVATE ${CMAKE_CURRENT_LIST_DIR}/bt_absent.cpp)
endif()
