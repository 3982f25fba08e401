// The system calls the Windows USB transport makes (usb_win.cpp), as one table of function
// pointers: SetupAPI for the listing, the file calls that open the device, WinUSB for its pipes,
// and the configuration manager's device notifications for arrival and removal. The table in use
// is Windows' own unless a test installs its own (a fake bus whose devices are bound to WinUSB or
// not), so the listing, the links and hot-plug run through all their paths without a device.
//
// Built only on Windows with USB (NV_HAVE_WINUSB). Each member has the signature of the system
// function it is named after (SetupDi..., CreateFileW, CloseHandle, WinUsb_..., CM_...; the
// custom property is SetupDiGetCustomDevicePropertyW's); the calls report their failures through
// SetLastError, as the real ones do.
#pragma once

#if NV_HAVE_WINUSB

#include <windows.h>
// After windows.h, which they need. The device notifications are declared for Windows 8 and
// later; the program itself runs on Windows 7 too and looks them up when they are there.
#pragma push_macro("WINVER")
#undef WINVER
#define WINVER 0x0602
#include <cfgmgr32.h>
#pragma pop_macro("WINVER")
#include <setupapi.h>
#include <winusb.h>

struct comm_winusb_api {
    HDEVINFO(WINAPI* get_class_devs)(const GUID* guid, PCWSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* enum_device_info)(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* open_device_info)
    (HDEVINFO set, PCWSTR instance_id, HWND parent, DWORD flags, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* enum_device_interfaces)
    (HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
     PSP_DEVICE_INTERFACE_DATA data);
    BOOL(WINAPI* get_device_interface_detail)
    (HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail,
     DWORD size, PDWORD required, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* get_device_property)
    (HDEVINFO set, PSP_DEVINFO_DATA info, const DEVPROPKEY* key, DEVPROPTYPE* type, PBYTE buffer,
     DWORD size, PDWORD required, DWORD flags);
    // A value of the device's hardware key (where an INF's HKR AddReg and a device's Microsoft OS
    // descriptors put DeviceInterfaceGUIDs).
    BOOL(WINAPI* get_custom_property)
    (HDEVINFO set, PSP_DEVINFO_DATA info, PCWSTR name, DWORD flags, PDWORD type, PBYTE buffer,
     DWORD size, PDWORD required);
    BOOL(WINAPI* destroy_device_info_list)(HDEVINFO set);

    HANDLE(WINAPI* create_file)
    (LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
     DWORD flags, HANDLE model);
    BOOL(WINAPI* close_handle)(HANDLE handle);

    BOOL(WINAPI* initialize)(HANDLE device, PWINUSB_INTERFACE_HANDLE handle);
    BOOL(WINAPI* free)(WINUSB_INTERFACE_HANDLE handle);
    BOOL(WINAPI* get_associated_interface)
    (WINUSB_INTERFACE_HANDLE handle, UCHAR index, PWINUSB_INTERFACE_HANDLE associated);
    BOOL(WINAPI* query_interface_settings)
    (WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, PUSB_INTERFACE_DESCRIPTOR descriptor);
    BOOL(WINAPI* query_pipe)
    (WINUSB_INTERFACE_HANDLE handle, UCHAR alternate, UCHAR index, PWINUSB_PIPE_INFORMATION pipe);
    BOOL(WINAPI* set_pipe_policy)
    (WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, ULONG policy, ULONG length, PVOID value);
    BOOL(WINAPI* read_pipe)
    (WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
     LPOVERLAPPED overlapped);
    BOOL(WINAPI* write_pipe)
    (WINUSB_INTERFACE_HANDLE handle, UCHAR pipe, PUCHAR buffer, ULONG length, PULONG transferred,
     LPOVERLAPPED overlapped);
    BOOL(WINAPI* get_overlapped_result)
    (WINUSB_INTERFACE_HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
    BOOL(WINAPI* abort_pipe)(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe);
    BOOL(WINAPI* reset_pipe)(WINUSB_INTERFACE_HANDLE handle, UCHAR pipe);

    // Windows 8 and later; null where the system has none (no hot-plug then).
    CONFIGRET(WINAPI* register_notification)
    (PCM_NOTIFY_FILTER filter, PVOID context, PCM_NOTIFY_CALLBACK callback,
     PHCMNOTIFICATION notification);
    CONFIGRET(WINAPI* unregister_notification)(HCMNOTIFICATION notification);
};

// Installs `api` for every later call of the transport (null restores Windows' own). The table
// must outlive its use; swap it only while no USB link is open and nothing is registered.
void comm_winusb_set_api(const comm_winusb_api* api);

#endif  // NV_HAVE_WINUSB
