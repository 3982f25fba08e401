// nv-term: the operator's console for the NV-52 instrument.
//
//   nv-term                               connection dialogue, then the instrument's menu
//   nv-term cxfw RAW XFW MAJOR.MINOR      build a scrambled firmware container, no device
//   nv-term eth                           switch the last USB instrument's USB mode, restart it
//
// Exit codes: 0, or -1 (255) for an invalid four-argument line, a failed container, or an
// "eth" switch whose device was not recognised or whose request failed. An "eth" switch whose
// restart went unanswered after the new mode was written ends with 0: the record was changed.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

#include "conutil.h"
#include "libcomm.h"
#include "main.h"
#include "nv_version.h"
#include "q8_cmds.h"
#include "q8_comm.h"
#include "q8_usb_mode.h"
#include "qxx_cmds.h"
#include "qxx_comm.h"
#include "safe_text.h"
#include "sysfile.h"

namespace {
constexpr const char* VERSION = NV_VERSION;
constexpr const char* BANNER = "--- ORVANTIS NV-TERM ---\n";
}  // namespace

std::atomic<int> dev_type{0};
const char* const NV_FIXED_HOST = "192.168.7.1";

int welcome(void) {
    log_write("MAIN", "%s", BANNER);
    log_write("MAIN", "ver:%s\n\n", VERSION);
    return 0;
}

// ---- link event handlers (I/O thread) --------------------------------------------------------

int QXX_event_connected(int handle, void*, int type_id, int) {
    connected = 1;
    dev_type = type_id;
    if (type_id == Q8_DEV_TYPE) Q8_cmd_hook_events(handle);
    return 0;
}

// `connected` falls before the message goes out: once an operator has read "Device
// disconnected!", every command finds the device gone.
int QXX_event_connection_error(int, void*, int) {
    connected = 0;
    log_write("MAIN", "\nError connecting device!\n");
    return 0;
}

int QXX_event_disconnected(int, void*, int) {
    connected = 0;
    log_write("MAIN", "\nDevice disconnected!\n");
    return 0;
}

int QXX_event_device_list_changed(void*) {
    return 0;
}

int QXX_event_net_broadcast(const unsigned char* bytes, int count) {
    QXX_broadcast_event_proc(bytes, count);
    return 0;
}

// ---- connection dialogue ---------------------------------------------------------------------

namespace {

constexpr int CONN_NONE = 0, CONN_USB = 1, CONN_COM = 2, CONN_NET = 3, CONN_BT = 4;
constexpr int MAX_DEVICES = 32;
constexpr int COM_FIRST = 1, COM_LAST = 255;
constexpr const char* LOOPBACK_HOST = "127.0.0.1";
constexpr const char* BROADCAST_ADDRESS = "255.255.255.255";
constexpr int DISCOVERY_PORT = 4455;
constexpr int CONNECTION_PORT = 4444;
constexpr int DISCOVERY_WINDOW_MS = 8000;
constexpr int CONNECT_WAIT_MS = 25000;
constexpr int HOST_SIZE = 255;
constexpr unsigned int HOST_MAX = 18;
constexpr int BT_ADDRESS_SIZE = 20;
constexpr int ETH_RETRY_PAUSE_MS = 1000;

void sleep_for_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void copy_text(char* out, size_t size, const char* text, size_t length) {
    size_t n = std::min(length, size - 1);
    memcpy(out, text, n);
    out[n] = '\0';
}

// A list from the link holds at most what was offered; anything else is not trusted.
int clamp_count(int count, int max) {
    return std::clamp(count, 0, max);
}

// Lists the entries of a device list as "%d. '%s'" with their display texts, from 1.
void list_entries(const comm_dev_entry* list, int count, bool print) {
    char text[COMM_DEVID_SIZE];
    for (int i = 0; i < count; ++i) {
        text[0] = '\0';
        comm_get_devid_string(list[i], text);
        if (print) log_append("MAIN", "%d. '%s'\n", i + 1, device_text(text, sizeof text).c_str());
    }
}

void choose_usb(char* conn, bool dialogue) {
    comm_dev_entry list[MAX_DEVICES] = {};
    int count = 0;
    QXX_list_usb_devices(list, MAX_DEVICES, &count);
    count = clamp_count(count, MAX_DEVICES);
    if (dialogue) log_append("MAIN", "0. No device\n");
    list_entries(list, count, dialogue);
    int32_t selection = count;  // the last device, or 0 (no device) when none was found
    if (dialogue) {
        log_write("MAIN", "\n");
        input_integer_msg(&selection, 0, count, "Select device");
    }
    if (selection >= 1)
        copy_text(conn, COMM_CONN_STRING_SIZE, list[selection - 1],
                  strnlen(list[selection - 1], COMM_ENTRY_SIZE));
}

void choose_com(char* conn) {
    int32_t port = COM_FIRST;
    input_integer_msg(&port, COM_FIRST, COM_LAST, "Select COM port");
    QXX_make_serial_conn_string(conn, port);
}

// The text a discovered device is shown and reached by: its address, or its name when it has
// none. The fields are padded with NULs and have no terminator at full width.
std::string_view row_text(const QXX_net_device& row) {
    if (row.address[0] != '\0') return {row.address, strnlen(row.address, sizeof row.address)};
    return {row.name, strnlen(row.name, sizeof row.name)};
}

// The host of the chosen row, to be reached on the instrument's port: an announcement does not
// choose the port (no ":PORT", no "[IPv6]:PORT"), and a field filled to its end may have
// been cut short, so it names no host. Otherwise the host stays empty, which connects nowhere.
void row_host(const QXX_net_device& row, char* host) {
    const std::string_view text = row_text(row);
    const size_t field = row.address[0] != '\0' ? sizeof row.address : sizeof row.name;
    if (text.size() < field && text.find(':') == std::string_view::npos)
        copy_text(host, HOST_SIZE, text.data(), text.size());
}

// Broadcasts the discovery request, collects announcements for the discovery window, and lets
// the operator pick one. The list is read only after the callback was deregistered.
void discover_host(char* host) {
    QXX_net_broadcast_register(QXX_event_net_broadcast, nullptr);
    QXX_send_broadcast_net_message(BROADCAST_ADDRESS, DISCOVERY_PORT);
    nv_sleep_ms(DISCOVERY_WINDOW_MS);
    QXX_net_broadcast_deregister();
    QXX_message_list found{};
    QXX_broadcast_list(&found);
    int count = clamp_count(found.count, QXX_NET_DEVICES);
    for (int i = 0; i < count; ++i) {
        const std::string_view text = row_text(found.rows[i]);
        log_write("MAIN", "%d. %s\n", i, device_text(text.data(), text.size()).c_str());
    }
    int32_t selection = 0;
    input_integer_msg(&selection, 0, count - 1, "Select device");
    if (count > 0) row_host(found.rows[selection], host);
}

void choose_net(char* conn) {
    log_write("MAIN", "0. %s\n", LOOPBACK_HOST);
    log_write("MAIN", "1. %s\n", NV_FIXED_HOST);
    log_write("MAIN", "2. Discover host\n");
    log_write("MAIN", "3. Enter host\n");
    log_write("MAIN", "\n");
    int32_t choice = 1;
    input_integer_msg(&choice, 0, 3, "Select host");
    char host[HOST_SIZE] = "";
    if (choice == 2) {
        discover_host(host);
    } else {
        if (choice == 0) copy_text(host, sizeof host, LOOPBACK_HOST, strlen(LOOPBACK_HOST));
        if (choice == 1) copy_text(host, sizeof host, NV_FIXED_HOST, strlen(NV_FIXED_HOST));
        input_string_msg(host, 1, HOST_MAX, "Enter host");
    }
    QXX_make_net_conn_string(conn, host, CONNECTION_PORT);
}

void choose_bt(char* conn) {
    comm_dev_entry list[MAX_DEVICES] = {};
    int count = 0;
    log_write("MAIN", "Bluetooth inquiry...");
    QXX_comm_bt_discover(0, 0);
    QXX_comm_bt_discover_wait(list, &count);
    count = clamp_count(count, MAX_DEVICES);
    log_write("MAIN", "Complete.\n");
    log_append("MAIN", "0. Enter BD addr\n");
    char text[COMM_DEVID_SIZE];
    for (int i = 0; i < count; ++i) {
        text[0] = '\0';
        comm_get_devid_string(list[i], text);
        log_write("MAIN", "%d. '%s'\n", i + 1, device_text(text, sizeof text).c_str());
    }
    int32_t selection = count;
    log_write("MAIN", "\n");
    input_integer_msg(&selection, 0, count, "Select device");
    if (selection >= 1) {
        copy_text(conn, COMM_CONN_STRING_SIZE, list[selection - 1],
                  strnlen(list[selection - 1], COMM_ENTRY_SIZE));
        return;
    }
    char address[BT_ADDRESS_SIZE] = "";
    input_string_msg(address, 1, HOST_MAX, "Enter BD address");
    QXX_make_bt_conn_string(conn, address, "");
}

}  // namespace

void (*nv_sleep_ms)(int ms) = sleep_for_ms;

int connect_dev(int dialogue) {
    if (connected == 1) {
        log_error("\nDevice already connected!\n");
        return -1;
    }
    int32_t type = CONN_USB;
    if (dialogue) {
        log_write("MAIN", "0. No device\n");
        log_write("MAIN", "1. USB\n");
        log_write("MAIN", "2. COM port\n");
        log_write("MAIN", "3. Net\n");
        bool bluetooth = QXX_bt_is_available() != 0;
        if (bluetooth) log_append("MAIN", "4. Bluetooth\n");
        log_write("MAIN", "\n");
        input_integer_msg(&type, CONN_NONE, bluetooth ? CONN_BT : CONN_NET,
                          "Select connection type");
    }
    char conn[COMM_CONN_STRING_SIZE] = "";
    switch (type) {
        case CONN_USB:
            choose_usb(conn, dialogue != 0);
            break;
        case CONN_COM:
            choose_com(conn);
            break;
        case CONN_NET:
            choose_net(conn);
            break;
        case CONN_BT:
            choose_bt(conn);
            break;
        default:
            break;  // no device: the empty string is refused below
    }
    log_write("MAIN", "\n");
    log_write("MAIN", "Connecting device...");
    // The link stores the handle through a plain int; the shared copy is updated afterwards.
    int handle = id_conn;
    int result = QXX_connect(conn, &handle, QXX_event_connected, QXX_event_connection_error,
                             QXX_event_disconnected, Q8_probe, Q8_test_probe, 0);
    id_conn = handle;
    if (result != 0 || QXX_wait_connected(id_conn, CONNECT_WAIT_MS) != 0) {
        log_error("\nError connecting device!\n");
        return -1;
    }
    // The connected handler has run before the wait returned, so dev_type is current here.
    if (QXX_get_conn_state_id(id_conn) == COMM_STATE_CONNECTED)
        log_write("MAIN", "Ok.\n");
    else
        log_write("MAIN", "Error!\n");
    return 0;
}

void disconnect_dev(void) {
    if (!cmd_connected()) return;
    if (QXX_disconnect(id_conn) != 0) log_error("Error disconnecting device!\n");
}

int main_loop(void) {
    menu m;
    menu_init(&m);
    log_write("MAIN", "\nFound device:   ");
    if (dev_type != Q8_DEV_TYPE) {
        log_error("Undefined\n\n");
        return -1;
    }
    log_write("MAIN", "NV-52\n\n");
    Q8_cmd_create_menu(&m, 0);
    menu_add(&m, "q", "quit", "quits program", nullptr);
    menu_print(&m);
    menu_run(&m);
    return 0;
}

// ---- entry -----------------------------------------------------------------------------------

namespace {

int make_container(char** argv) {
    int major = 0, minor = 0;
    if (strcmp(argv[1], "cxfw") != 0 || sscanf(argv[4], "%d.%d", &major, &minor) != 2) {
        log_error("Invalid parameter!\n");
        return -1;
    }
    log_write("MAIN", "Creating firmware version %d.%d...\n", major, minor);
    return Q8_create_xfw(argv[2], argv[3], major, minor, 1);
}

// Connects to the last USB instrument (retrying until one answers), and switches its USB mode
// from 0 to 1 and restarts it. Only a record the instrument filled completely is sent back.
// Returns 0 when the switch was sent or was not needed (or only the restart went unanswered),
// -1 when the device was not recognised or a request failed.
int switch_usb_mode(void) {
    // A link whose identification came after the wait gave up is up all the same: asking
    // again would only be refused as "already connected".
    while (connect_dev(0) != 0 && connected == 0) nv_sleep_ms(ETH_RETRY_PAUSE_MS);
    // A link that came up without an NV-52 being recognised gets no request at all: whatever
    // answers there, its record is not ours to rewrite.
    if (connected == 0) {
        log_error("The device was not recognised as an NV-52: nothing was sent to it.\n");
        return -1;
    }
    const q8_usb_mode_result r = Q8_switch_usb_mode(id_conn);
    switch (r.step) {
        case Q8_USB_MODE_GET_FAILED:
            cmd_request_ok("Q8_get_params", r.code);  // reports the failure
            return -1;
        case Q8_USB_MODE_INCOMPLETE:
            log_error("Command %s error: incomplete parameter record (%d of %d bytes)!\n",
                      "Q8_get_params", r.length, Q8_PARAMS_SIZE);
            return -1;
        case Q8_USB_MODE_SET_FAILED:
            cmd_request_ok("Q8_set_params", r.code);  // reports the failure
            return -1;
        case Q8_USB_MODE_RESTART_FAILED:
            cmd_request_ok("Q8_restart", r.code);  // reports the failure
            return -1;
        case Q8_USB_MODE_UNCONFIRMED:
            // The new mode is written, so this is no failure for a batch file to act on.
            log_write("MAIN",
                      "The new USB mode was written, but the instrument did not confirm the "
                      "restart: restart it by hand if it does not restart by itself.\n");
            return 0;
        default:
            return 0;
    }
}

int interactive(void) {
    if (connect_dev(1) == 0) {
        main_loop();
        disconnect_dev();
    }
    QXX_shut();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    sys_start(&argc, &argv);
    comm_usb_set_access_advice(SYS_USB_ACCESS_ADVICE);
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_addlevel("EVENTS", 0, 0, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    QXX_init(nullptr, QXX_event_device_list_changed, nullptr);
    welcome();

    int args = argc - 1;
    if (args == 4) return make_container(argv);
    if (args == 1) {
        // The "eth" mode leaves the link open: the instrument restarts on its own side.
        if (strcmp(argv[1], "eth") == 0) return switch_usb_mode();
        QXX_shut();
        return 0;
    }
    return interactive();
}
