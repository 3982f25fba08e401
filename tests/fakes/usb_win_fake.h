// A fake USB bus behind the Windows USB transport's table of system calls, on the bench shared
// with the libusb fake: devices bound to WinUSB or not, whole or composite (the instrument's
// interface 1 a function of its own); SetupAPI's sets of devices and of interfaces by class; one
// open at a time per device; interface 0 with an interrupt pipe and interface 1 with bulk IN 0x81
// and OUT 0x02; overlapped reads and writes completing into the caller's event, their results
// waited for as Windows waits; a device being pulled out, which aborts no longer reach; arrival
// and removal notifications. It counts what is handed out, so a test can check it all came back.
#pragma once

#if NV_HAVE_WINUSB

#include "usb_win_api.h"
// After the table's header, which brings what they need.
#include <devpkey.h>
#include <objbase.h>

#include <map>

#include "usb_bench.h"

namespace usb_fake {

// On Windows a device's place is its hub and port ("Port_#0002.Hub_#0004"): here one at a bus's
// root port is on hub BUS, one behind a hub at root port P on hub BUS*100+P.
inline int hub_of(const Device& d) {
    return d.ports.size() <= 1 ? d.bus : d.bus * 100 + d.ports[d.ports.size() - 2];
}
inline int port_of(const Device& d) {
    return d.ports.empty() ? 0 : d.ports.back();
}
inline std::string entry_of(const Device& d) {
    return "USBS:" + std::to_string(hub_of(d)) + "-" + std::to_string(port_of(d)) + ":" +
           ids_of(d, '/');
}
// The words an operator's note names the device by.
inline std::string words_of(const Device& d) {
    return "hub " + std::to_string(hub_of(d)) + " port " + std::to_string(port_of(d)) + " (" +
           ids_of(d, ':') + ")";
}

// A way into a device: the device itself, or a composite device's function.
struct Node {
    Device* device;
    bool function;
};
inline std::wstring path_of(const Node& n, const std::string& guid) {
    return L"\\\\?\\usb#vid_" + std::to_wstring(n.device->vendor) + (n.function ? L"&mi_01" : L"") +
           L"#fake" + std::to_wstring(n.device->id) + L"#" + std::wstring(guid.begin(), guid.end());
}

class Bench;
inline Bench* bench = nullptr;

class Bench : public Core<Bench> {
  public:
    // A device is being pulled out: aborts no longer reach it, what is in flight ends on unplug().
    bool removing = false;
    int blocking_waits = 0;  // waits for a result while its operation was still in flight

    Bench() {
        bench = this;
        comm_winusb_set_api(&table());
    }
    ~Bench() {
        comm_winusb_set_api(nullptr);
        bench = nullptr;
        EXPECT_EQ(leaks(), "") << "given back at the end";
    }
    // What is still handed out; empty when everything came back.
    std::string leaks() {
        std::lock_guard<std::mutex> guard(lock_);
        return counted({{"opens", opens_.size()},
                        {"interfaces", interfaces_.size()},
                        {"pending", holding(true)},
                        {"lists", lists_.size()},
                        {"notifications", callback_ != nullptr}});
    }

  private:
    struct Interface {
        Device* device;  // the open handle is the device itself: one open at a time
        int number;
        std::set<int> terminated;  // pipes that end whole packets with a zero-length one
    };
    // A set of nodes, or of the interfaces of class `guid` of its first `interfaces` nodes.
    struct List {
        std::string guid;
        std::vector<Node> nodes;
        size_t interfaces = 0;
    };
    struct Op {
        Device* device;
        Interface* iface;
        bool in;
        int pipe;
        unsigned char* buffer;
        ULONG length;
        bool held;  // a write the device does not take
        bool pending = true;
        DWORD error = 0, done = 0;
    };
    static constexpr const char* GENERIC = "{A5DCBF10-6530-11D2-901F-00C04FB951ED}";
    static constexpr DWORD RESULT_WAIT_MS = 5000;  // far beyond any completion here

    static Bench& b() { return *bench; }
    static BOOL fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    static std::wstring wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }
    static std::string text_of(const GUID& g) {
        wchar_t t[40];
        return std::string(t, t + StringFromGUID2(g, t, 40) - 1);
    }
    // Under lock_: the nodes of what is plugged in.
    std::vector<Node> nodes() const {
        std::vector<Node> out;
        for (auto& d : devices_) {
            if (d->gone) continue;
            out.push_back({d.get(), false});
            if (d->composite) out.push_back({d.get(), true});
        }
        return out;
    }
    static bool winusb(const Node& n) {
        return n.device->winusb && (n.function || !n.device->composite);
    }
    // The interface classes `n` registers: every device the generic one; WinUSB the device's.
    static std::vector<std::string> classes_of(const Node& n) {
        std::vector<std::string> out;
        if (!n.function) out.push_back(GENERIC);
        if (winusb(n))
            out.insert(out.end(), n.device->interface_guids.begin(),
                       n.device->interface_guids.end());
        return out;
    }
    static std::wstring instance_id(const Node& n) {
        const Device& d = *n.device;
        wchar_t id[256];
        std::swprintf(id, 256, L"USB\\VID_%04X&PID_%04X%ls\\%ls", d.vendor, d.product,
                      n.function ? L"&MI_01" : L"",
                      n.function || d.serial.empty()
                          ? (L"5&2b1a3c&0&" + std::to_wstring(port_of(d))).c_str()
                          : wide(d.serial).c_str());
        return id;
    }

    // Under lock_: ends an operation and signals its event, as the system does.
    void finish(OVERLAPPED* ov, Op& op, DWORD error, DWORD done) {
        op.pending = false;
        op.error = error;
        op.done = done;
        SetEvent(ov->hEvent);
        changed_.notify_all();
    }
    friend class Core<Bench>;
    // Under lock_: ends what can end, oldest first.
    void woken() {
        for (OVERLAPPED* ov : order_) {
            auto it = ops_.find(ov);
            if (it == ops_.end() || !it->second.pending) continue;
            Op& op = it->second;
            if (!ready(op.device, op.in, op.held, false)) continue;
            size_t n;
            const Back how = end(op.device, op.in, false, op.buffer, op.length, &n);
            finish(ov, op, error_of(how), static_cast<DWORD>(n));
        }
    }
    static DWORD error_of(Back how) {
        return how == Back::done                                     ? 0
               : how == Back::timed_out                              ? ERROR_SEM_TIMEOUT
               : how == Back::unplugged                              ? ERROR_DEVICE_NOT_CONNECTED
               : how == Back::halted || how == Back::halted_for_good ? ERROR_GEN_FAILURE
                                                                     : ERROR_IO_DEVICE;
    }
    void plugged(bool in) {
        notify(in ? CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL
                  : CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
    }
    // Under lock_: the number of operations in flight (only the writes: whether one is held).
    int holding(bool all = false) const {
        int n = 0;
        for (auto& [ov, op] : ops_) n += op.pending && (all || !op.in);
        return n;
    }
    void notify(CM_NOTIFY_ACTION action) {
        std::lock_guard<std::mutex> guard(notify_lock_);
        if (callback_ != nullptr) callback_(handle(), context_, action, nullptr, 0);
    }
    static HCMNOTIFICATION handle() { return reinterpret_cast<HCMNOTIFICATION>(&b()); }

    // ---- Windows' side, on the installed bench -----------------------------------------------
    static HDEVINFO WINAPI get_class_devs(const GUID* guid, PCWSTR enumerator, HWND, DWORD flags) {
        std::lock_guard<std::mutex> guard(b().lock_);
        auto list = new List;
        if (guid != nullptr) {  // the interfaces of one class
            EXPECT_EQ(flags, static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
            list->guid = text_of(*guid);
            for (const Node& n : b().nodes()) {
                const auto classes = classes_of(n);
                if (std::find(classes.begin(), classes.end(), list->guid) != classes.end())
                    list->nodes.push_back(n);
            }
        } else {  // every USB device
            EXPECT_EQ(flags, static_cast<DWORD>(DIGCF_ALLCLASSES | DIGCF_PRESENT));
            EXPECT_TRUE(enumerator != nullptr && std::wstring(enumerator) == L"USB");
            list->nodes = b().nodes();
        }
        list->interfaces = list->guid.empty() ? 0 : list->nodes.size();
        b().lists_.insert(list);
        return reinterpret_cast<HDEVINFO>(list);
    }
    static List* list_of(HDEVINFO set) { return reinterpret_cast<List*>(set); }
    static BOOL WINAPI enum_info(HDEVINFO set, DWORD index, PSP_DEVINFO_DATA info) {
        EXPECT_TRUE(list_of(set)->guid.empty());
        if (index >= list_of(set)->nodes.size()) return fail(ERROR_NO_MORE_ITEMS);
        info->Reserved = index;
        return TRUE;
    }
    static BOOL WINAPI open_info(HDEVINFO set, PCWSTR id, HWND, DWORD, PSP_DEVINFO_DATA info) {
        std::lock_guard<std::mutex> guard(b().lock_);
        const std::vector<Node> all = b().nodes();
        const auto n =
            std::find_if(all.begin(), all.end(), [&](auto& n) { return instance_id(n) == id; });
        if (n == all.end()) return fail(ERROR_NO_SUCH_DEVINST);
        list_of(set)->nodes.push_back(*n);
        info->Reserved = list_of(set)->nodes.size() - 1;
        return TRUE;
    }
    static BOOL WINAPI enum_interfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid,
                                       DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
        EXPECT_EQ(text_of(*guid), list_of(set)->guid);
        if (index >= list_of(set)->interfaces) return fail(ERROR_NO_MORE_ITEMS);
        data->Reserved = index;
        return TRUE;
    }
    static BOOL WINAPI interface_detail(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                        PDWORD required, PSP_DEVINFO_DATA info) {
        const size_t index = data->Reserved;
        const std::wstring path = path_of(list_of(set)->nodes.at(index), list_of(set)->guid);
        const DWORD needed =
            static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                               (path.size() + 1) * sizeof(wchar_t));
        if (required) *required = needed;
        if (detail == nullptr || size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        EXPECT_EQ(detail->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        if (info) info->Reserved = index;
        return TRUE;
    }
    static BOOL give(const std::wstring& text, PBYTE buffer, DWORD size) {
        const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
        if (size < needed) return fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(buffer, text.c_str(), needed);
        return TRUE;
    }
    static BOOL WINAPI device_property(HDEVINFO set, PSP_DEVINFO_DATA info, const DEVPROPKEY* key,
                                       DEVPROPTYPE* type, PBYTE buffer, DWORD size, PDWORD, DWORD) {
        std::lock_guard<std::mutex> guard(b().lock_);
        const Node n = list_of(set)->nodes.at(info->Reserved);
        const Device& d = *n.device;
        wchar_t location[64];  // a function has no port of its own
        std::swprintf(location, 64, n.function ? L"0000.0014.%04d.%03d" : L"Port_#%04d.Hub_#%04d",
                      port_of(d), hub_of(d));
        const std::wstring parent =
            n.function ? instance_id({n.device, false}) : L"USB\\ROOT_HUB30\\4&1a2b3c&0&0";
        const std::pair<const DEVPROPKEY*, std::wstring> properties[] = {
            {&DEVPKEY_Device_InstanceId, instance_id(n)},
            {&DEVPKEY_Device_LocationInfo, location},
            {&DEVPKEY_Device_Service, winusb(n)                    ? L"WinUSB"
                                      : d.composite && !n.function ? L"usbccgp"
                                                                   : L"usbser"},
            {&DEVPKEY_Device_BusReportedDeviceDesc,
             n.function && !d.name.empty() ? wide(d.name) + L" data" : wide(d.name)},
            {&DEVPKEY_Device_Manufacturer, n.function ? L"" : wide(d.maker)},
            {&DEVPKEY_Device_Parent, parent}};
        std::wstring text;
        for (const auto& [k, value] : properties)
            if (std::memcmp(key, k, sizeof *k) == 0) text = value;
        if (text.empty()) return fail(ERROR_NOT_FOUND);
        *type = DEVPROP_TYPE_STRING;
        return give(text, buffer, size);
    }
    static BOOL WINAPI custom_property(HDEVINFO set, PSP_DEVINFO_DATA info, PCWSTR name, DWORD,
                                       PDWORD type, PBYTE buffer, DWORD size, PDWORD) {
        std::lock_guard<std::mutex> guard(b().lock_);
        const Node n = list_of(set)->nodes.at(info->Reserved);
        const Device& d = *n.device;
        const std::wstring wanted = d.several ? L"DeviceInterfaceGUIDs" : L"DeviceInterfaceGUID";
        if (!winusb(n) || d.interface_guids.empty() || wanted != name) return fail(ERROR_NOT_FOUND);
        std::wstring text;  // REG_MULTI_SZ: each string ended, then an empty one
        for (const std::string& g : d.interface_guids)
            text += wide(g) + std::wstring(d.several, L'\0');
        *type = d.several ? REG_MULTI_SZ : REG_SZ;
        return give(text, buffer, size);
    }
    static BOOL WINAPI destroy_list(HDEVINFO set) {
        std::lock_guard<std::mutex> guard(b().lock_);
        EXPECT_EQ(b().lists_.erase(list_of(set)), 1u);
        delete list_of(set);
        return TRUE;
    }
    static HANDLE WINAPI create_file(LPCWSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES,
                                     DWORD, DWORD flags, HANDLE) {
        std::lock_guard<std::mutex> guard(b().lock_);
        EXPECT_EQ(access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
        EXPECT_TRUE(flags & FILE_FLAG_OVERLAPPED);
        const Node* found = nullptr;
        const std::vector<Node> all = b().nodes();
        for (const Node& n : all)
            for (const std::string& guid : classes_of(n))
                if (path_of(n, guid) == path) found = &n;
        const DWORD error = found == nullptr || b().refusal == Refusal::gone ? ERROR_FILE_NOT_FOUND
                            : b().opens_.count(found->device) || b().refusal == Refusal::in_use
                                ? ERROR_ACCESS_DENIED
                                : 0;
        if (error != 0) {
            SetLastError(error);
            return INVALID_HANDLE_VALUE;
        }
        EXPECT_TRUE(winusb(*found)) << "opened what WinUSB does not drive";
        b().opens_.insert(found->device);
        return reinterpret_cast<HANDLE>(found->device);
    }
    static BOOL WINAPI close_handle(HANDLE h) {
        std::lock_guard<std::mutex> guard(b().lock_);
        EXPECT_EQ(b().opens_.erase(reinterpret_cast<Device*>(h)), 1u) << "closed twice";
        return TRUE;
    }
    static Interface* iface(WINUSB_INTERFACE_HANDLE h) { return static_cast<Interface*>(h); }
    static BOOL new_interface(Device* d, int number, PWINUSB_INTERFACE_HANDLE out) {
        auto i = new Interface{d, number, {}};
        b().interfaces_.insert(i);
        *out = i;
        return TRUE;
    }
    // The first interface: a composite device's function's own (1), a whole device's 0.
    static BOOL WINAPI initialize(HANDLE h, PWINUSB_INTERFACE_HANDLE out) {
        std::lock_guard<std::mutex> guard(b().lock_);
        Device* d = reinterpret_cast<Device*>(h);
        return new_interface(d, d->composite ? 1 : 0, out);
    }
    static BOOL WINAPI free(WINUSB_INTERFACE_HANDLE h) {
        std::lock_guard<std::mutex> guard(b().lock_);
        EXPECT_EQ(b().interfaces_.erase(iface(h)), 1u) << "freed twice";
        delete iface(h);
        return TRUE;
    }
    static BOOL WINAPI associated(WINUSB_INTERFACE_HANDLE h, UCHAR index,
                                  PWINUSB_INTERFACE_HANDLE out) {
        std::lock_guard<std::mutex> guard(b().lock_);
        if (index > 0 || iface(h)->number != 0) return fail(ERROR_NO_MORE_ITEMS);
        return new_interface(iface(h)->device, 1, out);
    }
    static BOOL WINAPI interface_settings(WINUSB_INTERFACE_HANDLE h, UCHAR,
                                          PUSB_INTERFACE_DESCRIPTOR desc) {
        *desc = {};
        desc->bInterfaceNumber = static_cast<UCHAR>(iface(h)->number);
        desc->bNumEndpoints = static_cast<UCHAR>(iface(h)->number + 1);
        return TRUE;
    }
    static BOOL WINAPI query_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR, UCHAR index,
                                  PWINUSB_PIPE_INFORMATION pipe) {
        static const WINUSB_PIPE_INFORMATION pipes[2][2] = {
            {{UsbdPipeTypeInterrupt, 0x83, 64, 1}, {}},
            {{UsbdPipeTypeBulk, 0x81, 64, 0}, {UsbdPipeTypeBulk, 0x02, 64, 0}}};
        if (index > iface(h)->number) return fail(ERROR_NO_MORE_ITEMS);
        *pipe = pipes[iface(h)->number][index];
        return TRUE;
    }
    static BOOL WINAPI pipe_policy(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, ULONG policy,
                                   ULONG length, PVOID value) {
        std::lock_guard<std::mutex> guard(b().lock_);
        if (policy == SHORT_PACKET_TERMINATE && length >= 1 && *static_cast<UCHAR*>(value))
            iface(h)->terminated.insert(pipe);
        return TRUE;
    }
    static BOOL submit(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length,
                       LPOVERLAPPED ov, bool in) {
        Bench& k = b();
        std::lock_guard<std::mutex> guard(k.lock_);
        Device* d = iface(h)->device;
        if (!k.goes_out(pipe, in, static_cast<int>(length), iface(h)->terminated.count(pipe) > 0) ||
            d->gone) {
            SetLastError(d->gone ? ERROR_DEVICE_NOT_CONNECTED : ERROR_IO_DEVICE);
            return FALSE;
        }
        EXPECT_FALSE(k.ops_.count(ov) && k.ops_[ov].pending) << "an OVERLAPPED used twice";
        k.ops_[ov] = Op{d, iface(h), in, pipe, buffer, length, !in && k.hold_writes};
        k.order_.erase(std::remove(k.order_.begin(), k.order_.end(), ov), k.order_.end());
        k.order_.push_back(ov);
        k.woken();
        k.changed_.notify_all();
        return fail(ERROR_IO_PENDING);
    }
    static BOOL WINAPI read_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer, ULONG length,
                                 PULONG, LPOVERLAPPED ov) {
        return submit(h, pipe, buffer, length, ov, true);
    }
    static BOOL WINAPI write_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe, PUCHAR buffer,
                                  ULONG length, PULONG, LPOVERLAPPED ov) {
        return submit(h, pipe, buffer, length, ov, false);
    }
    static BOOL WINAPI overlapped_result(WINUSB_INTERFACE_HANDLE, LPOVERLAPPED ov, LPDWORD done,
                                         BOOL wait) {
        Bench& k = b();
        std::unique_lock<std::mutex> held(k.lock_);
        auto it = k.ops_.find(ov);
        if (it == k.ops_.end()) {
            ADD_FAILURE() << "the result of an operation never started";
            return FALSE;
        }
        if (wait && it->second.pending) {
            // As Windows waits: on the operation's event, which a completion signals once.
            ++k.blocking_waits;
            k.changed_.notify_all();
            held.unlock();
            const DWORD woke = WaitForSingleObject(ov->hEvent, RESULT_WAIT_MS);
            held.lock();
            if (woke != WAIT_OBJECT_0) {
                ADD_FAILURE() << "a wait for a result whose completion another wait had taken: "
                                 "it would never return";
                k.changed_.wait(held, [&] { return !it->second.pending; });
            }
        }
        if (it->second.pending) return fail(ERROR_IO_INCOMPLETE);
        const Op op = it->second;
        k.ops_.erase(it);
        k.order_.erase(std::remove(k.order_.begin(), k.order_.end(), ov), k.order_.end());
        *done = op.done;
        SetLastError(op.error);
        return op.error == 0;
    }
    static BOOL WINAPI abort_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe) {
        std::lock_guard<std::mutex> guard(b().lock_);
        if (b().removing) return fail(ERROR_BAD_COMMAND);
        for (auto& [ov, op] : b().ops_)
            if (op.iface == iface(h) && op.pipe == pipe && op.pending) {
                size_t n;
                b().end(op.device, op.in, true, op.buffer, op.length, &n);
                b().finish(ov, op, ERROR_OPERATION_ABORTED, static_cast<DWORD>(n));
            }
        return TRUE;
    }
    static BOOL WINAPI reset_pipe(WINUSB_INTERFACE_HANDLE h, UCHAR pipe) {
        std::lock_guard<std::mutex> guard(b().lock_);
        char text[16];
        std::snprintf(text, sizeof text, "halt %02x", pipe);
        b().note(text);
        if (iface(h)->device->gone || (b().spoil == Back::halted_for_good && pipe & 0x80)) {
            SetLastError(iface(h)->device->gone ? ERROR_DEVICE_NOT_CONNECTED : ERROR_GEN_FAILURE);
            return FALSE;
        }
        return TRUE;
    }
    static CONFIGRET WINAPI register_notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                                  PCM_NOTIFY_CALLBACK callback,
                                                  PHCMNOTIFICATION out) {
        std::lock_guard<std::mutex> guard(b().notify_lock_);
        EXPECT_EQ(filter->FilterType, CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE);
        EXPECT_EQ(b().callback_, nullptr) << "registered twice";
        b().callback_ = callback;
        b().context_ = context;
        *out = handle();
        return CR_SUCCESS;
    }
    static CONFIGRET WINAPI unregister_notification(HCMNOTIFICATION) {
        std::lock_guard<std::mutex> guard(b().notify_lock_);
        b().callback_ = nullptr;
        return CR_SUCCESS;
    }

    static const comm_winusb_api& table() {
        // clang-format off
        static const comm_winusb_api api = {
            get_class_devs, enum_info, open_info, enum_interfaces, interface_detail,
            device_property, custom_property, destroy_list, create_file, close_handle, initialize,
            free, associated, interface_settings, query_pipe, pipe_policy, read_pipe, write_pipe,
            overlapped_result, abort_pipe, reset_pipe, register_notification,
            unregister_notification};
        // clang-format on
        return api;
    }

    std::set<Device*> opens_;
    std::set<Interface*> interfaces_;
    std::set<List*> lists_;
    std::map<OVERLAPPED*, Op> ops_;
    std::vector<OVERLAPPED*> order_;  // submission order
    std::mutex notify_lock_;          // held while a notification is delivered
    PCM_NOTIFY_CALLBACK callback_ = nullptr;
    PVOID context_ = nullptr;
};

}  // namespace usb_fake

#endif  // NV_HAVE_WINUSB
