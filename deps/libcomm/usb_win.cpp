// USB on Windows through WinUSB: the device listing, display texts, bulk links and device
// arrival and removal.
//
// Devices are found as WinUSB's guidance has it: through the device interfaces WinUSB registers
// for the devices bound to it, of the class our INF names (winusb/nv52-winusb.inf) and of those
// each such device names in its DeviceInterfaceGUIDs (its firmware's Microsoft OS descriptors
// set it, or another INF); a composite device's function ("...&MI_01") is found so too, and is
// shown and placed as its device. What is found no other way (a device bound to another driver,
// which is then refused with a note that says how to bind it) comes through the interface every
// USB device has (GUID_DEVINTERFACE_USB_DEVICE). The instance id "USB\VID_1781&PID_0C44\A0001"
// gives the ids and the serial number, the location "Port_#0002.Hub_#0004" the place as Device
// Manager shows it (hub 4, port 2: entries read "USBS:4-2:1781/0c44"), the bus-reported
// description the product's name.
//
// A link opens the interface's path overlapped, takes the first interface with a bulk IN and a
// bulk OUT pipe (or the interface the string's argument names), has WinUSB end every write that
// fills whole packets with a zero-length packet, and keeps two reads in flight. A read completes
// into an event on which the system's wait threads wake the I/O thread (WSAPoll waits on sockets
// only); the I/O thread collects the reads in the order they went out, delivers their bytes and
// sends them out again, so there is no thread of the link's own. A write is one overlapped
// WinUsb_WritePipe on the writer's thread, aborted when it makes no progress within its time
// limit or the link closes.
//
// Every call goes through the table in usb_win_api.h.
#include "usb_win_api.h"
// After the table's header, which brings what they need.
#include <devpkey.h>
#include <usbiodef.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm_win.h"

namespace {

constexpr const char* ENTRY_TAG = "USBS";
constexpr int READS = 2;            // reads kept in flight
constexpr int WRITE_SLICE_MS = 20;  // a waiting write looks for the link's close this often
constexpr size_t NAME_MAX = 64;     // of a product name or serial number in a display text

// ---- Windows' own calls -----------------------------------------------------------------------

// The configuration manager's notifications came with Windows 8: looked up, not linked.
template <typename F>
F cfgmgr(const char* name) {
    HMODULE m = GetModuleHandleW(L"cfgmgr32.dll");
    if (m == nullptr) m = LoadLibraryW(L"cfgmgr32.dll");
    return m ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(m, name))) : nullptr;
}

CONFIGRET WINAPI real_register(PCM_NOTIFY_FILTER filter, PVOID context,
                               PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notification) {
    using fn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
    static const fn f = cfgmgr<fn>("CM_Register_Notification");
    return f ? f(filter, context, callback, notification) : CR_CALL_NOT_IMPLEMENTED;
}

CONFIGRET WINAPI real_unregister(HCMNOTIFICATION notification) {
    using fn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);
    static const fn f = cfgmgr<fn>("CM_Unregister_Notification");
    return f ? f(notification) : CR_CALL_NOT_IMPLEMENTED;
}

const comm_winusb_api REAL_API = {
    SetupDiGetClassDevsW,
    SetupDiEnumDeviceInfo,
    SetupDiOpenDeviceInfoW,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailW,
    SetupDiGetDevicePropertyW,
    SetupDiGetCustomDevicePropertyW,
    SetupDiDestroyDeviceInfoList,
    CreateFileW,
    CloseHandle,
    WinUsb_Initialize,
    WinUsb_Free,
    WinUsb_GetAssociatedInterface,
    WinUsb_QueryInterfaceSettings,
    WinUsb_QueryPipe,
    WinUsb_SetPipePolicy,
    WinUsb_ReadPipe,
    WinUsb_WritePipe,
    WinUsb_GetOverlappedResult,
    WinUsb_AbortPipe,
    WinUsb_ResetPipe,
    real_register,
    real_unregister,
};

std::atomic<const comm_winusb_api*> current_api{&REAL_API};

const comm_winusb_api& usb() {
    return *current_api.load();
}

// ---- the listing ----------------------------------------------------------------------------

// The device interface our INF (winusb/nv52-winusb.inf) registers for the instrument.
constexpr GUID NV52_INTERFACE = {
    0xA57E82B0, 0x6334, 0x473C, {0xA5, 0xF5, 0x7F, 0x19, 0x7C, 0x11, 0xCC, 0xCB}};

// One way to the instrument: a device, or one function (interface) of a composite device, with
// the device interface that opens it.
struct win_device {
    std::wstring path;  // of the device interface, to open
    std::wstring id;    // the device's instance id (a function's: its parent's)
    int vendor = 0, product = 0;
    int hub = 0, port = 0;
    int function = -1;  // the interface number of a composite device's function; -1: the device
    std::string serial, name, maker;
    bool winusb = false;  // WinUSB is the driver of what the path opens
    char location[COMM_TEXT_SIZE] = "";
};

// A device property as text; empty when it has none.
std::wstring property(HDEVINFO set, SP_DEVINFO_DATA* info, const DEVPROPKEY& key) {
    wchar_t text[512];
    DEVPROPTYPE type = 0;
    if (!usb().get_device_property(set, info, &key, &type, reinterpret_cast<PBYTE>(text),
                                   sizeof text - sizeof(wchar_t), nullptr, 0) ||
        type != DEVPROP_TYPE_STRING)
        return L"";
    text[511] = L'\0';
    return text;
}

// The number after `key` in `text` (read in base `base`); -1 when there is none.
long number_after(const std::wstring& text, const wchar_t* key, int base) {
    std::wstring upper = text;
    for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
    const size_t at = upper.find(key);
    if (at == std::wstring::npos) return -1;
    const wchar_t* start = upper.c_str() + at + wcslen(key);
    wchar_t* end = nullptr;
    const long n = wcstol(start, &end, base);
    return end == start ? -1 : n;
}

// Printable ASCII of a device's own text, as the Linux build shows string descriptors.
std::string printable(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out.substr(0, NAME_MAX);
}

bool is_winusb(HDEVINFO set, SP_DEVINFO_DATA* info) {
    return _wcsicmp(property(set, info, DEVPKEY_Device_Service).c_str(), L"WinUSB") == 0;
}

// The ids, serial number, place and names of the device `info` ("USB\VID_1781&PID_0C44\A0001":
// a serial number as the last part, unless Windows made one up, with '&' in it; the location
// "Port_#0002.Hub_#0004": hub 4, port 2, as Device Manager shows it); false for one with no
// ids or place.
bool describe_device(HDEVINFO set, SP_DEVINFO_DATA* info, win_device* d) {
    d->id = property(set, info, DEVPKEY_Device_InstanceId);
    d->vendor = static_cast<int>(number_after(d->id, L"VID_", 16));
    d->product = static_cast<int>(number_after(d->id, L"PID_", 16));
    if (d->vendor < 0 || d->product < 0) return false;
    const size_t last = d->id.rfind(L'\\');
    if (last != std::wstring::npos && d->id.find(L'&', last) == std::wstring::npos)
        d->serial = printable(d->id.substr(last + 1));
    const std::wstring place = property(set, info, DEVPKEY_Device_LocationInfo);
    d->hub = static_cast<int>(number_after(place, L"HUB_#", 10));
    d->port = static_cast<int>(number_after(place, L"PORT_#", 10));
    if (d->hub < 0 || d->port < 0 || d->port > 255) return false;
    const uint8_t port = static_cast<uint8_t>(d->port);
    if (comm_usb_location(d->hub, &port, 1, d->location, sizeof d->location) != 0) return false;
    d->name = printable(property(set, info, DEVPKEY_Device_BusReportedDeviceDesc));
    d->maker = printable(property(set, info, DEVPKEY_Device_Manufacturer));
    return true;
}

// Fills `d` from one device interface. A function of a composite device ("USB\VID_1781&PID_0C44
// &MI_01\...") is described by its parent, the device, and keeps its interface number; `functions`
// false refuses one (the generic interface, which only whole devices have).
bool describe_interface(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data, bool functions,
                        win_device* d) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    DWORD required = 0;
    usb().get_device_interface_detail(set, data, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return false;
    std::vector<unsigned char> detail(required);
    auto* path = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail.data());
    path->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!usb().get_device_interface_detail(set, data, path, required, nullptr, &info)) return false;
    d->path = path->DevicePath;
    d->winusb = is_winusb(set, &info);
    const long function =
        number_after(property(set, &info, DEVPKEY_Device_InstanceId), L"&MI_", 16);
    if (function < 0) return describe_device(set, &info, d);
    if (!functions) return false;
    SP_DEVINFO_DATA parent{};
    parent.cbSize = sizeof parent;
    const std::wstring parent_id = property(set, &info, DEVPKEY_Device_Parent);
    if (parent_id.empty() || !usb().open_device_info(set, parent_id.c_str(), nullptr, 0, &parent) ||
        !describe_device(set, &parent, d))
        return false;
    d->function = static_cast<int>(function);
    return true;
}

// "{A57E82B0-6334-473C-A5F5-7F197C11CCCB}", the registry's form of an interface class (braces
// optional); false for anything else.
bool guid_from_text(const wchar_t* text, GUID* out) {
    std::wstring t = text;
    if (t.size() == 38 && t.front() == L'{' && t.back() == L'}') t = t.substr(1, 36);
    if (t.size() != 36) return false;
    std::string hex;
    for (size_t i = 0; i < t.size(); ++i) {
        const wchar_t c = t[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != L'-') return false;
        } else if ((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') ||
                   (c >= L'A' && c <= L'F')) {
            hex += static_cast<char>(c);
        } else {
            return false;
        }
    }
    const auto field = [&](size_t at, size_t n) {
        return std::strtoull(hex.substr(at, n).c_str(), nullptr, 16);
    };
    out->Data1 = static_cast<unsigned long>(field(0, 8));
    out->Data2 = static_cast<unsigned short>(field(8, 4));
    out->Data3 = static_cast<unsigned short>(field(12, 4));
    for (size_t k = 0; k < 8; ++k) out->Data4[k] = static_cast<unsigned char>(field(16 + 2 * k, 2));
    return true;
}

// The interface classes WinUSB registers for the devices bound to it: each one's
// DeviceInterfaceGUIDs (an INF's, or the firmware's Microsoft OS descriptors'), or its
// DeviceInterfaceGUID, beside ours, once each.
std::vector<GUID> winusb_interfaces() {
    std::vector<GUID> guids = {NV52_INTERFACE};
    HDEVINFO set = usb().get_class_devs(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return guids;
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (DWORD i = 0; usb().enum_device_info(set, i, &info); ++i) {
        if (!is_winusb(set, &info)) continue;
        wchar_t text[1024] = {};
        DWORD type = 0;
        for (const wchar_t* name : {L"DeviceInterfaceGUIDs", L"DeviceInterfaceGUID"}) {
            if (usb().get_custom_property(set, &info, name, 0, &type, reinterpret_cast<PBYTE>(text),
                                          sizeof text - 2 * sizeof(wchar_t), nullptr))
                break;
            text[0] = L'\0';
        }
        // REG_MULTI_SZ: strings one after the other, an empty one last; REG_SZ: one.
        for (const wchar_t* g = text; *g != L'\0'; g += wcslen(g) + 1) {
            GUID guid;
            if (guid_from_text(g, &guid) &&
                std::none_of(guids.begin(), guids.end(),
                             [&](const GUID& known) { return IsEqualGUID(known, guid); }))
                guids.push_back(guid);
            if (type != REG_MULTI_SZ) break;
        }
    }
    usb().destroy_device_info_list(set);
    return guids;
}

// Adds what the interfaces of `guid` lead to, but devices in `seen` (whose ids it adds); false
// (with GetLastError) when the system gave no list.
bool add_interfaces(const GUID& guid, bool functions, std::vector<win_device>* out,
                    std::vector<std::wstring>* seen) {
    HDEVINFO set =
        usb().get_class_devs(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return false;
    std::vector<std::wstring> found;
    for (DWORD i = 0;; ++i) {
        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!usb().enum_device_interfaces(set, nullptr, &guid, i, &data)) break;
        win_device d;
        if (!describe_interface(set, &data, functions, &d) ||
            std::find(seen->begin(), seen->end(), d.id) != seen->end())
            continue;
        found.push_back(d.id);
        out->push_back(std::move(d));
    }
    usb().destroy_device_info_list(set);
    seen->insert(seen->end(), found.begin(), found.end());
    return true;
}

// Every USB device present, as WinUSB's guidance has it found: through the interfaces WinUSB
// registers (ours, and those the devices bound to it name), composite devices' functions among
// them; then, for what is found no other way (a device bound to another driver, or to WinUSB
// without an interface class of its own), through the interface every USB device has. False
// (with GetLastError) when the system gave no list.
bool list_devices(std::vector<win_device>* out) {
    std::vector<std::wstring> seen;
    for (const GUID& guid : winusb_interfaces()) add_interfaces(guid, true, out, &seen);
    return add_interfaces(GUID_DEVINTERFACE_USB_DEVICE, false, out, &seen);
}

// The device at the entry's place with the entry's ids (the function the string names, when it
// names one that is a function of its own); false when it is not there.
bool find_device(const comm_usb_params& p, win_device* out) {
    std::vector<win_device> all;
    if (!list_devices(&all)) {
        comm_trace("usb device list", static_cast<int>(GetLastError()));
        return false;
    }
    win_device* found = nullptr;
    for (win_device& d : all) {
        if (d.vendor != p.vendor_id || d.product != p.product_id ||
            std::strcmp(d.location, p.location) != 0)
            continue;
        if (found == nullptr || (p.arg >= 0 && d.function == p.arg && found->function != p.arg))
            found = &d;
    }
    if (found == nullptr) return false;
    *out = std::move(*found);
    return true;
}

bool text_matches(const char* wanted, const std::string& actual) {
    return wanted == nullptr || wanted[0] == '\0' || actual == wanted;
}

// ---- a link ---------------------------------------------------------------------------------

struct usb_read {
    OVERLAPPED ov{};
    HANDLE done = nullptr;  // auto-reset: the system's wait thread takes each completion once
    HANDLE wait = nullptr;  // the registered wait on `done`
    std::unique_ptr<unsigned char[]> buffer;
    bool pending = false;
};

struct usb_link {
    comm_usb_params params;
    comm_link* link = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE first = nullptr;  // the device's first interface
    WINUSB_INTERFACE_HANDLE other = nullptr;  // an associated one, when that is the instrument's
    WINUSB_INTERFACE_HANDLE iface = nullptr;  // the one in use: `first` or `other`
    UCHAR ep_in = 0, ep_out = 0;
    int in_size = 0;  // bytes per read: whole packets, at most the link's read size
    comm_fd wake = COMM_NO_FD;
    usb_read reads[READS];
    int oldest = 0;       // I/O thread: the read that went out first
    bool failed = false;  // I/O thread: reported, nothing more goes out
    HANDLE write_done = nullptr;
};

// The system's wait thread: a read completed.
VOID CALLBACK read_completed(PVOID context, BOOLEAN) {
    comm_wake_signal(static_cast<usb_link*>(context)->wake);
}

void fail(usb_link* s, const char* what, DWORD error) {
    s->failed = true;
    comm_link_failed(s->link, what, static_cast<int>(error));
}

// The errors by which WinUSB tells that the device went away.
bool gone(DWORD error) {
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_BAD_COMMAND ||
           error == ERROR_NO_SUCH_DEVINST || error == ERROR_FILE_NOT_FOUND ||
           error == ERROR_INVALID_HANDLE;
}

constexpr auto usb_parse = comm_parse_into<usb_link, comm_usb_parse>;

// The pipes of one interface: true when it has a bulk IN and a bulk OUT pipe (and is the one
// the string names, when it names one).
bool bulk_pipes(usb_link* s, WINUSB_INTERFACE_HANDLE h) {
    USB_INTERFACE_DESCRIPTOR desc{};
    if (!usb().query_interface_settings(h, 0, &desc)) return false;
    if (s->params.arg >= 0 && desc.bInterfaceNumber != s->params.arg) return false;
    UCHAR in = 0, out = 0;
    int packet = 0;
    for (UCHAR e = 0; e < desc.bNumEndpoints; ++e) {
        WINUSB_PIPE_INFORMATION pipe{};
        if (!usb().query_pipe(h, 0, e, &pipe) || pipe.PipeType != UsbdPipeTypeBulk) continue;
        if (USB_ENDPOINT_DIRECTION_IN(pipe.PipeId)) {
            if (in == 0) {
                in = pipe.PipeId;
                packet = pipe.MaximumPacketSize & 0x7FF;
            }
        } else if (out == 0) {
            out = pipe.PipeId;
        }
    }
    if (in == 0 || out == 0) return false;
    s->ep_in = in;
    s->ep_out = out;
    int rx = 0;
    comm_link_buffer(s->link, &rx);
    packet = std::max(packet, 8);
    s->in_size = std::max(packet, rx / packet * packet);
    return true;
}

// Picks the interface: the first, or one of those associated with it.
bool choose_interface(usb_link* s) {
    if (bulk_pipes(s, s->first)) {
        s->iface = s->first;
        return true;
    }
    for (UCHAR i = 0; i < 255; ++i) {
        WINUSB_INTERFACE_HANDLE h = nullptr;
        if (!usb().get_associated_interface(s->first, i, &h)) return false;
        if (bulk_pipes(s, h)) {
            s->other = s->iface = h;
            return true;
        }
        usb().free(h);
    }
    return false;
}

bool submit_read(usb_link* s, usb_read* r) {
    r->ov = OVERLAPPED{};
    r->ov.hEvent = r->done;
    if (!usb().read_pipe(s->iface, s->ep_in, r->buffer.get(), static_cast<ULONG>(s->in_size),
                         nullptr, &r->ov) &&
        GetLastError() != ERROR_IO_PENDING)
        return false;
    r->pending = true;  // also when it completed at once: its result is collected the same way
    return true;
}

bool start_reading(usb_link* s) {
    s->write_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (s->write_done == nullptr) return false;
    for (usb_read& r : s->reads) {
        r.buffer.reset(new unsigned char[static_cast<size_t>(s->in_size)]);
        r.done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        if (r.done == nullptr || !RegisterWaitForSingleObject(&r.wait, r.done, read_completed, s,
                                                              INFINITE, WT_EXECUTEDEFAULT))
            return false;
    }
    for (usb_read& r : s->reads)
        if (!submit_read(s, &r)) return false;
    return true;
}

void usb_open(void* state, comm_link* link) {
    auto s = static_cast<usb_link*>(state);
    s->link = link;
    s->wake = comm_wake_open();
    if (s->wake == COMM_NO_FD) return fail(s, "usb wake-up", ERROR_NOT_ENOUGH_MEMORY);
    win_device d;
    if (!find_device(s->params, &d)) {
        comm_usb_refused(link, s->params, COMM_USB_GONE);
        return fail(s, "usb: no such device", ERROR_DEVICE_NOT_CONNECTED);
    }
    if (!d.winusb) {
        comm_usb_refused(link, s->params, COMM_USB_NOT_BOUND);
        return fail(s, "usb: not bound to WinUSB", ERROR_NOT_SUPPORTED);
    }
    s->file = usb().create_file(d.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (s->file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // WinUSB lets one program at a time open a device.
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            comm_usb_refused(link, s->params, COMM_USB_IN_USE);
        else if (gone(error))
            comm_usb_refused(link, s->params, COMM_USB_GONE);
        return fail(s, "usb open", error);
    }
    if (!usb().initialize(s->file, &s->first)) {
        s->first = nullptr;
        return fail(s, "usb WinUSB", GetLastError());
    }
    if (!choose_interface(s)) {
        comm_trace_text("usb", "the device has no interface with bulk IN and OUT pipes");
        return fail(s, "usb interface", ERROR_NOT_FOUND);
    }
    UCHAR on = TRUE;
    if (!usb().set_pipe_policy(s->iface, s->ep_out, SHORT_PACKET_TERMINATE, sizeof on, &on))
        comm_trace("usb short packet policy", static_cast<int>(GetLastError()));
    if (!start_reading(s)) return fail(s, "usb read submit", GetLastError());
    comm_link_opened(link);
}

int usb_poll_fds(void* state, pollfd* fds, int max, int*) {
    auto s = static_cast<usb_link*>(state);
    if (s->iface == nullptr || s->failed || max < 1) return 0;
    fds[0] = {s->wake, POLLIN, 0};
    return 1;
}

// One read back: its bytes are delivered and it goes out again. False once the link failed.
bool take_back(usb_link* s, usb_read* r, BOOL ok, DWORD got) {
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (got > 0) comm_link_data(s->link, r->buffer.get(), static_cast<int>(got));
    if (!ok && error == ERROR_GEN_FAILURE) {  // a halted pipe, or a device going away
        if (!usb().reset_pipe(s->iface, s->ep_in)) {
            const DWORD why = GetLastError();
            fail(s, gone(why) ? "usb read: the device is gone" : "usb read: pipe halted", why);
            return false;
        }
    } else if (!ok && gone(error)) {
        fail(s, "usb read: the device is gone", error);
        return false;
    } else if (!ok && error != ERROR_SEM_TIMEOUT) {
        fail(s, "usb read", error);
        return false;
    }
    if (!submit_read(s, r)) {
        fail(s, "usb read submit", GetLastError());
        return false;
    }
    return true;
}

// Collects the reads that are back, oldest first: WinUSB completes them in the order they went
// out, so the bytes keep their order.
void usb_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<usb_link*>(state);
    if (s->iface == nullptr || s->failed || count < 1 || fds[0].revents == 0) return;
    comm_wake_drain(s->wake);
    for (;;) {
        usb_read* r = &s->reads[s->oldest];
        if (!r->pending) return;
        DWORD got = 0;
        const BOOL ok = usb().get_overlapped_result(s->iface, &r->ov, &got, FALSE);
        if (!ok && GetLastError() == ERROR_IO_INCOMPLETE) return;
        r->pending = false;
        if (!take_back(s, r, ok, got)) return;
        s->oldest = (s->oldest + 1) % READS;
    }
}

int usb_write(void* state, const unsigned char* data, int length, int ms) {
    auto s = static_cast<usb_link*>(state);
    if (s->iface == nullptr || s->write_done == nullptr) return -1;
    OVERLAPPED ov{};
    ov.hEvent = s->write_done;
    ResetEvent(ov.hEvent);
    // The buffer is only read, and the write is over before we return.
    if (!usb().write_pipe(s->iface, s->ep_out, const_cast<unsigned char*>(data),
                          static_cast<ULONG>(length), nullptr, &ov) &&
        GetLastError() != ERROR_IO_PENDING) {
        comm_trace("usb write", static_cast<int>(GetLastError()));
        return -1;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(ms > 0 ? ms : 0);
    bool closing = false;
    for (;;) {
        const int left = comm_win_ms_left(deadline);
        if (WaitForSingleObject(ov.hEvent, static_cast<DWORD>(std::min(left, WRITE_SLICE_MS))) ==
            WAIT_OBJECT_0)
            break;
        pollfd cancel = {comm_link_cancel_fd(s->link), POLLIN, 0};
        closing = WSAPoll(&cancel, 1, 0) > 0 && (cancel.revents & POLLIN);
        if (closing || left <= 0) {
            usb().abort_pipe(s->iface, s->ep_out);
            break;
        }
    }
    DWORD done = 0;
    const BOOL ok = usb().get_overlapped_result(s->iface, &ov, &done, TRUE);
    const DWORD error = ok ? ERROR_SUCCESS : GetLastError();
    if (closing) return -1;
    if (ok) return static_cast<int>(done);
    // What went out before the abort is progress; none at all is a stall.
    if (error == ERROR_OPERATION_ABORTED || error == ERROR_SEM_TIMEOUT)
        return static_cast<int>(done);
    if (error == ERROR_GEN_FAILURE) usb().reset_pipe(s->iface, s->ep_out);
    comm_trace("usb write", static_cast<int>(error));
    return -1;
}

void usb_close(void* state) {
    auto s = static_cast<usb_link*>(state);
    // The system's waits on the reads' events go first, each once its callback has returned: a
    // completion one of them took would never wake the blocking waits below (the events reset
    // as they are taken), and after a surprise removal the close would never return.
    for (usb_read& r : s->reads) {
        if (r.wait != nullptr) UnregisterWaitEx(r.wait, INVALID_HANDLE_VALUE);
        r.wait = nullptr;
    }
    // A read's buffer is the system's until the read is over: aborted, or ended by the removal.
    if (s->iface != nullptr) {
        usb().abort_pipe(s->iface, s->ep_in);
        for (usb_read& r : s->reads) {
            DWORD got = 0;
            if (r.pending) usb().get_overlapped_result(s->iface, &r.ov, &got, TRUE);
            r.pending = false;
        }
    }
    for (usb_read& r : s->reads)
        if (r.done != nullptr) CloseHandle(r.done);
    if (s->write_done != nullptr) CloseHandle(s->write_done);
    if (s->other != nullptr) usb().free(s->other);
    if (s->first != nullptr) usb().free(s->first);
    if (s->file != INVALID_HANDLE_VALUE) usb().close_handle(s->file);
    comm_wake_close(s->wake);
    delete s;
}

int usb_describe(const char* entry, char* text, int size) {
    comm_usb_params p;
    if (comm_usb_parse(entry, &p) != 1) return 0;
    win_device d;
    find_device(p, &d);
    comm_usb_display(p, d.name.c_str(), d.serial.c_str(), text, size);
    return 1;
}

// ---- device arrival and removal --------------------------------------------------------------
//
// The device-list callback's endpoint (usb.cpp): the configuration manager calls back on a thread
// of its own for every USB device that comes or goes, which wakes the I/O thread; each wake-up is
// one round of changes.

struct watch_state {
    comm_fd wake = COMM_NO_FD;
    HCMNOTIFICATION notification = nullptr;
    comm_link* link = nullptr;
};

DWORD CALLBACK device_changed(HCMNOTIFICATION, PVOID context, CM_NOTIFY_ACTION action,
                              PCM_NOTIFY_EVENT_DATA, DWORD) {
    if (action == CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL ||
        action == CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL)
        comm_wake_signal(static_cast<watch_state*>(context)->wake);
    return ERROR_SUCCESS;
}

void watch_open(void* state, comm_link* link) {
    static_cast<watch_state*>(state)->link = link;
    comm_link_opened(link);
}

int watch_poll_fds(void* state, pollfd* fds, int max, int*) {
    if (max < 1) return 0;
    fds[0] = {static_cast<watch_state*>(state)->wake, POLLIN, 0};
    return 1;
}

void watch_handle(void* state, const pollfd* fds, int count) {
    auto s = static_cast<watch_state*>(state);
    if (count < 1 || fds[0].revents == 0) return;
    comm_wake_drain(s->wake);
    const unsigned char changed = 1;
    comm_link_data(s->link, &changed, 1);
}

int watch_write(void*, const unsigned char*, int, int) {
    return -1;
}

// Unregistering waits for a callback that runs; only then may the wake-up go.
void watch_close(void* state) {
    auto s = static_cast<watch_state*>(state);
    if (s->notification != nullptr) usb().unregister_notification(s->notification);
    comm_wake_close(s->wake);
    delete s;
}

const comm_transport watch_transport = {
    "usb arrival and removal",
    nullptr,
    watch_open,
    watch_poll_fds,
    watch_handle,
    watch_write,
    watch_close,
    nullptr,
};

}  // namespace

const comm_transport comm_usb_transport = {
    "usb", usb_parse, usb_open, usb_poll_fds, usb_handle, usb_write, usb_close, usb_describe,
};

void comm_winusb_set_api(const comm_winusb_api* api) {
    current_api = api != nullptr ? api : &REAL_API;
}

int comm_list_devices_usb(int, comm_dev_entry* list, int max, int* count, const char* manufacturer,
                          const char* product, int vendor_lo, int vendor_hi, int product_lo,
                          int product_hi) {
    if (count != nullptr) *count = 0;
    if (max < 0 || (max > 0 && list == nullptr)) return -1;
    std::vector<win_device> all;
    if (!list_devices(&all)) {
        comm_trace("usb device list", static_cast<int>(GetLastError()));
        return -1;
    }
    std::vector<win_device*> found;
    for (win_device& d : all) {
        if (d.vendor < vendor_lo || d.vendor > vendor_hi || d.product < product_lo ||
            d.product > product_hi || !text_matches(manufacturer, d.maker) ||
            !text_matches(product, d.name))
            continue;
        found.push_back(&d);
    }
    // By hub, then port: the same instruments list the same way every time.
    std::sort(found.begin(), found.end(), [](const win_device* a, const win_device* b) {
        return a->hub != b->hub ? a->hub < b->hub : a->port < b->port;
    });
    int n = 0;
    for (const win_device* d : found) {
        if (n >= max) break;
        if (comm_format(list[n], COMM_ENTRY_SIZE, "%s:%s:%04x/%04x", ENTRY_TAG, d->location,
                        d->vendor, d->product) == 0)
            ++n;
    }
    if (count != nullptr) *count = n;
    return 0;
}

int comm_usb_register(comm_usb_callback callback, void* arg) {
    comm_usb_unwatch();  // a second registration replaces the first
    if (callback == nullptr) return 0;
    auto s = new watch_state;
    s->wake = comm_wake_open();
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = GUID_DEVINTERFACE_USB_DEVICE;
    const CONFIGRET r = s->wake == COMM_NO_FD ? CR_OUT_OF_MEMORY
                                              : usb().register_notification(
                                                    &filter, s, device_changed, &s->notification);
    if (r != CR_SUCCESS) {
        // Before Windows 8 (and under Wine) nothing is reported: the list is simply read anew.
        char code[32];
        comm_format(code, sizeof code, "refused (CONFIGRET %lu)", static_cast<unsigned long>(r));
        comm_trace_text("usb device notifications", code);
        s->notification = nullptr;
        watch_close(s);
        return r == CR_CALL_NOT_IMPLEMENTED ? 0 : -1;
    }
    return comm_usb_watch(&watch_transport, s, callback, arg);
}

int comm_usb_deregister(void) {
    comm_usb_unwatch();
    return 0;
}
