// The system calls the Windows Bluetooth side makes (bluetooth_win.cpp), as one table of function
// pointers: the Bluetooth API for the radio, the inquiry and pairing with a PIN, and the Winsock
// calls that make and connect an RFCOMM socket. The table in use is Windows' own unless a test
// installs its own (a fake radio whose "RFCOMM socket" is one end of a loopback TCP connection),
// so availability, inquiry, pairing and links run through all their paths without a radio.
//
// Built only on Windows with Bluetooth (NV_HAVE_WINBT). Each member has the signature of the
// system function it is named after (Bluetooth..., socket, setsockopt, connect, getsockopt,
// CloseHandle); the socket calls report failures through WSASetLastError as Winsock's do.
#pragma once

#if NV_HAVE_WINBT

#include <winsock2.h>
#include <ws2bth.h>
// After winsock2.h, which it needs.
#include <bluetoothapis.h>

struct comm_btwin_api {
    HBLUETOOTH_RADIO_FIND(WINAPI* find_first_radio)
    (const BLUETOOTH_FIND_RADIO_PARAMS* params, HANDLE* radio);
    BOOL(WINAPI* find_radio_close)(HBLUETOOTH_RADIO_FIND find);
    BOOL(WINAPI* close_handle)(HANDLE handle);
    HBLUETOOTH_DEVICE_FIND(WINAPI* find_first_device)
    (const BLUETOOTH_DEVICE_SEARCH_PARAMS* params, BLUETOOTH_DEVICE_INFO* info);
    BOOL(WINAPI* find_next_device)(HBLUETOOTH_DEVICE_FIND find, BLUETOOTH_DEVICE_INFO* info);
    BOOL(WINAPI* find_device_close)(HBLUETOOTH_DEVICE_FIND find);
    HRESULT(WINAPI* register_for_authentication_ex)
    (const BLUETOOTH_DEVICE_INFO* device, HBLUETOOTH_AUTHENTICATION_REGISTRATION* handle,
     PFN_AUTHENTICATION_CALLBACK_EX callback, PVOID param);
    BOOL(WINAPI* unregister_authentication)(HBLUETOOTH_AUTHENTICATION_REGISTRATION handle);
    HRESULT(WINAPI* send_authentication_response_ex)
    (HANDLE radio, PBLUETOOTH_AUTHENTICATE_RESPONSE response);

    SOCKET(WSAAPI* socket)(int family, int type, int protocol);
    int(WSAAPI* setsockopt)(SOCKET s, int level, int name, const char* value, int length);
    int(WSAAPI* connect)(SOCKET s, const sockaddr* address, int length);
    int(WSAAPI* getsockopt)(SOCKET s, int level, int name, char* value, int* length);
};

// Installs `api` for every later call (null restores Windows' own). The table must outlive its
// use; swap it only while no Bluetooth link is open and no inquiry runs.
void comm_btwin_set_api(const comm_btwin_api* api);

#endif  // NV_HAVE_WINBT
