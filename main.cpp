// nv-term: the operator's console for the NV-52 instrument.
//
//   nv-term                               connection dialogue, then the instrument's menu
//   nv-term cxfw RAW XFW MAJOR.MINOR      build a scrambled firmware container, no device
//   nv-term eth                           switch the last USB instrument's USB mode, restart it
//
// Exit codes: 0, or -1 (255) for an invalid four-argument line or a failed container.
#include <cstdio>
#include <cstring>

#include "conutil.h"
#include "main.h"
#include "q8_cmds.h"
#include "q8_comm.h"
#include "qxx_cmds.h"
#include "qxx_comm.h"

namespace {
constexpr const char* VERSION = "0.10.0";
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

int QXX_event_device_list_changed(void*) { return 0; }

int QXX_event_net_broadcast(const unsigned char* bytes, int count) {
    QXX_broadcast_event_proc(bytes, count);
    return 0;
}

// ---- connection dialogue ---------------------------------------------------------------------

int connect_dev(int) {
    // The connection dialogue is not built yet: no transport can be chosen.
    log_error("\nError connecting device!\n");
    return -1;
}

void disconnect_dev(void) {
    if (connected == 0) {
        log_error("\nDevice not connected!\n");
        return;
    }
    if (QXX_disconnect(id_conn) != 0) log_error("Error disconnecting device!\n");
}

int main_loop(void) { return 0; }

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
    log_addlevel("MAIN", 0, 1, 0, 0, "");
    log_addlevel("EVENTS", 0, 0, 0, 0, "");
    log_seterror(0, 1, 0, 0, "");
    QXX_init(nullptr, QXX_event_device_list_changed, nullptr);
    welcome();

    int args = argc - 1;
    if (args == 4) return make_container(argv);
    if (args == 1) {
        QXX_shut();
        return 0;
    }
    return interactive();
}
