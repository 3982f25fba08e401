// Finding instruments and resolving DEVICE texts: see svc_devices.h.
#include "svc_devices.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <regex>
#include <string_view>
#include <thread>

#include "qxx_comm.h"
#include "safe_text.h"
#include "svc_sys.h"

namespace {

constexpr int INSTRUMENT_PORT = 4444;
constexpr int MAX_ENTRIES = 32;
constexpr const char* USB_SERIAL_MARK = ", serial ";
constexpr const char* INSTRUMENT_NAME = "NV-52";

// A text that came from a device, made safe to show and to keep.
std::string shown(const char* text, size_t max) {
    return device_text(text, max);
}

// "1-4.2" of "USBF:1-4.2:1781/0c44".
std::string usb_place(const std::string& entry) {
    const size_t a = entry.find(':');
    const size_t b = a == std::string::npos ? a : entry.find(':', a + 1);
    return b == std::string::npos ? "" : entry.substr(a + 1, b - a - 1);
}

void find_usb(std::vector<svc_found>* out) {
    comm_dev_entry list[MAX_ENTRIES] = {};
    int count = 0;
    QXX_list_usb_devices(list, MAX_ENTRIES, &count);
    for (int i = 0; i < std::clamp(count, 0, MAX_ENTRIES); ++i) {
        svc_found f;
        f.kind = "usb";
        f.instrument = true;
        const std::string entry(list[i], strnlen(list[i], COMM_ENTRY_SIZE));
        // Its place is the shorter DEVICE, and stays the same while it is plugged there.
        f.conn = entry;
        f.device = usb_place(entry).empty() ? entry : usb_place(entry);
        char text[COMM_DEVID_SIZE] = "";
        comm_get_devid_string(list[i], text);
        f.name = shown(text, sizeof text);
        if (const char* mark = strstr(text, USB_SERIAL_MARK))
            f.serial = shown(mark + strlen(USB_SERIAL_MARK), sizeof text);
        out->push_back(f);
    }
}

void find_serial(std::vector<svc_found>* out) {
    for (const svc_port& p : svc_serial_ports()) {
        svc_found f;
        f.kind = "serial";
        f.device = p.device;
        f.name = p.name;
        char conn[COMM_CONN_STRING_SIZE] = "";
        const bool numbered = p.device.rfind("COM", 0) == 0;
        if ((numbered ? QXX_make_serial_conn_string(conn, std::atoi(p.device.c_str() + 3))
                      : QXX_make_serial_path_conn_string(conn, p.device.c_str())) == 0)
            f.conn = conn;
        out->push_back(f);
    }
}

// Announcements heard during a discovery, kept by the callback on the library's thread.
std::mutex heard_lock;

int on_datagram(const unsigned char* bytes, int count) {
    std::lock_guard<std::mutex> guard(heard_lock);
    return QXX_broadcast_event_proc(bytes, count);
}

// An announcement's row: the address (with ":PORT" when the instrument is not on 4444) is the
// DEVICE. A field filled to its end may have been cut short: such an address reaches nothing.
svc_found net_found(const QXX_net_device& row) {
    svc_found f;
    f.kind = "net";
    f.instrument = true;
    f.serial = shown(row.ident, sizeof row.ident);
    f.name = shown(row.name, sizeof row.name);
    const size_t length = strnlen(row.address, sizeof row.address);
    const std::string address(row.address, length);
    f.device = shown(row.address, sizeof row.address);
    if (length == 0) {
        f.note = "announced no address";
    } else if (length == sizeof row.address) {
        f.note = "its address fills the whole field and may be cut short";
    } else if (f.device != address) {
        f.note = "its address holds characters no address has";
    } else {
        svc_target t;
        std::string error;
        svc_finder none{nullptr, false, {}};
        if (svc_resolve(address, &none, &t, &error) == SVC_OK && t.conn.rfind("tcp://", 0) == 0)
            f.conn = t.conn;
        else
            f.note = "its address is no network address";
    }
    return f;
}

void find_net(const svc_options& o, std::vector<svc_found>* out) {
    QXX_net_broadcast_register(on_datagram, nullptr);
    QXX_send_broadcast_net_message(o.discover.c_str(), o.discover_port);
    // The discovery window: answers arrive on the library's thread meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(o.discover_ms));
    QXX_net_broadcast_deregister();
    QXX_message_list list{};
    {
        std::lock_guard<std::mutex> guard(heard_lock);
        QXX_broadcast_list(&list);
    }
    for (int i = 0; i < std::clamp(list.count, 0, QXX_NET_DEVICES); ++i)
        out->push_back(net_found(list.rows[i]));
}

void find_bluetooth(std::vector<svc_found>* out) {
    if (QXX_bt_is_available() == 0) return;
    comm_dev_entry list[MAX_ENTRIES] = {};
    int count = 0;
    QXX_comm_bt_discover(0, 0);
    QXX_comm_bt_discover_wait(list, &count);
    for (int i = 0; i < std::clamp(count, 0, MAX_ENTRIES); ++i) {
        svc_found f;
        f.kind = "bluetooth";
        f.device = f.conn = std::string(list[i], strnlen(list[i], COMM_ENTRY_SIZE));
        char text[COMM_DEVID_SIZE] = "";
        comm_get_devid_string(list[i], text);
        f.name = shown(text, sizeof text);
        f.instrument = f.name.find(INSTRUMENT_NAME) != std::string::npos;
        out->push_back(f);
    }
}

bool has_prefix(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

const svc_found* find_by(const std::vector<svc_found>& found, const std::string& what, bool place) {
    for (const svc_found& f : found)
        if (!f.conn.empty() &&
            (place ? f.kind == "usb" && usb_place(f.conn) == what : f.serial == what))
            return &f;
    return nullptr;
}

}  // namespace

std::vector<svc_found> svc_find(const svc_options& o) {
    std::vector<svc_found> found;
    find_usb(&found);
    find_serial(&found);
    find_net(o, &found);
    find_bluetooth(&found);
    return found;
}

const std::vector<svc_found>& svc_finder::all() {
    if (!done && options != nullptr) found = svc_find(*options);
    done = true;
    return found;
}

bool svc_glob(const std::string& glob, const std::string& text) {
    // Iterative matching with one star to fall back to.
    size_t g = 0, t = 0, star = std::string::npos, mark = 0;
    while (t < text.size()) {
        if (g < glob.size() && (glob[g] == '?' || glob[g] == text[t])) {
            ++g, ++t;
        } else if (g < glob.size() && glob[g] == '*') {
            star = g++, mark = t;
        } else if (star != std::string::npos) {
            g = star + 1, t = ++mark;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == '*') ++g;
    return g == glob.size();
}

int svc_resolve(const std::string& device, svc_finder* finder, svc_target* out,
                std::string* error) {
    static const std::regex com(R"(COM([0-9]{1,3}))", std::regex::icase);
    static const std::regex bt(R"([0-9A-Fa-f]{2}(:[0-9A-Fa-f]{2}){5})");
    static const std::regex place(R"([0-9]+-[0-9]+(\.[0-9]+)*)");
    static const std::regex serial(R"([A-Z][0-9]{7})");
    out->device = device;
    out->conn.clear();
    char conn[COMM_CONN_STRING_SIZE] = "";
    std::smatch m;
    int made = -1;
    if (has_prefix(device, "tcp://") || has_prefix(device, "serial:") ||
        has_prefix(device, "bt:") ||
        (has_prefix(device, "USB") && device.size() > 4 && device[4] == ':')) {
        // A connection string of the library: it is checked when the link is made.
        out->conn = device;
        return SVC_OK;
    } else if (!device.empty() && device[0] == '/') {
        made = QXX_make_serial_path_conn_string(conn, device.c_str());
    } else if (std::regex_match(device, m, com)) {
        const int n = std::stoi(m[1]);
        if (n >= 1 && n <= 255) made = QXX_make_serial_conn_string(conn, n);
    } else if (std::regex_match(device, bt)) {
        made = QXX_make_bt_conn_string(conn, device.c_str(), "");
    } else if (std::regex_match(device, place) || std::regex_match(device, serial)) {
        const bool by_place = device.find('-') != std::string::npos;
        if (const svc_found* f = find_by(finder->all(), device, by_place)) {
            out->conn = f->conn;
            return SVC_OK;
        }
        *error = std::string("no instrument ") + (by_place ? "at USB place " : "with serial ") +
                 device + " was found";
        return SVC_NOT_FOUND;
    } else {
        // A host, "HOST:PORT" or "[IPv6]:PORT": the library reads the port off it.
        made = QXX_make_net_conn_string(conn, device.c_str(), INSTRUMENT_PORT);
    }
    if (made != 0 || conn[0] == '\0') {
        *error = "'" + device + "' is no DEVICE this tool knows (HOST[:PORT], a serial port, " +
                 "COMn, a USB place or serial number, a Bluetooth address, a connection string)";
        return SVC_USAGE;
    }
    out->conn = conn;
    return SVC_OK;
}

int svc_resolve_all(svc_finder* finder, std::vector<svc_target>* out, std::string* error) {
    std::vector<std::string> serials;
    for (const svc_found& f : finder->all()) {
        if (!f.instrument || f.conn.empty()) continue;
        const std::string& glob = finder->options->serial_glob;
        if (!glob.empty() && !svc_glob(glob, f.serial)) continue;
        // The same instrument on USB and on the network is serviced once, on the first found.
        if (!f.serial.empty()) {
            if (std::find(serials.begin(), serials.end(), f.serial) != serials.end()) continue;
            serials.push_back(f.serial);
        }
        // An instrument also named by -d is serviced once, as named there.
        if (std::none_of(out->begin(), out->end(),
                         [&](const svc_target& t) { return t.conn == f.conn; }))
            out->push_back(svc_target{f.device, f.conn});
    }
    if (out->empty()) {
        *error =
            finder->options->serial_glob.empty()
                ? "--all found no instrument"
                : "--all found no instrument whose serial matches " + finder->options->serial_glob;
        return SVC_NOT_FOUND;
    }
    return SVC_OK;
}
