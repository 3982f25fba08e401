// USB connection strings and list entries, the operator's notes and the device-list callback's
// endpoint, shared by every build. The transports, listings and hot-plug are in usb_libusb.cpp
// (libusb) and usb_win.cpp (WinUSB); a build with neither has usb_absent.cpp.
//
// Entries and connection strings ("USB" is reserved for this form):
//   USBS:1-4.2:1781/0c44      a list entry: tag, location (bus '-' port path), vendor id, '/',
//                             product id
//   USBS:1-4.2:1781:0/0c44    made by comm_make_conn_string_usb: the interface number before '/'
// The tag is four characters starting with "USB"; ids are hexadecimal. Opening ignores the tag.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "comm_internal.h"

namespace {

// The device-list callback's endpoint: the transport reports a round of changes as one byte of
// DATA, and the callback runs for it on the I/O thread. The endpoint's CLOSED releases this.
struct watch_context {
    comm_usb_callback callback;
    void* arg;
};

// What the program tells the operator to do about a device it may not use.
std::atomic<const char*> access_advice{""};

comm_endpoint_slot watching;

int watch_event(int, int kind, const unsigned char*, int, void* context) {
    auto ctx = static_cast<watch_context*>(context);
    if (kind == COMM_EVENT_DATA && ctx->callback != nullptr) ctx->callback(ctx->arg);
    if (kind == COMM_EVENT_CLOSED) delete ctx;
    return 0;
}

bool location_char(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
           ch == '-' || ch == '.' || ch == '_';
}

bool tag_char(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z');
}

}  // namespace

int comm_usb_location(int bus, const uint8_t* ports, int count, char* out, int size) {
    if (comm_format(out, size, "%d", bus) != 0) return -1;
    for (int i = 0; i < count; ++i) {
        int used = static_cast<int>(std::strlen(out));
        if (comm_format(out + used, size - used, "%c%d", i == 0 ? '-' : '.', ports[i]) != 0) {
            out[0] = '\0';
            return -1;
        }
    }
    return 0;
}

int comm_usb_display(const comm_usb_params& p, const char* product, const char* serial, char* text,
                     int size) {
    // "1-4.2" reads as bus 1, port path 4.2 (on Windows "4-2" as hub 4, port 2).
    std::string_view location(p.location);
    size_t dash = location.find('-');
    std::string_view bus = location.substr(0, dash);
    std::string_view path = dash == std::string_view::npos ? "" : location.substr(dash + 1);
    bool named = product != nullptr && product[0] != '\0';
    bool numbered = serial != nullptr && serial[0] != '\0';
    return comm_format(text, size, "USB %s %.*s%s%.*s (%04x:%04x)%s%s%s%s", COMM_USB_PLACE,
                       static_cast<int>(bus.size()), bus.data(), path.empty() ? "" : " port ",
                       static_cast<int>(path.size()), path.data(), p.vendor_id, p.product_id,
                       named ? " " : "", named ? product : "", numbered ? ", serial " : "",
                       numbered ? serial : "");
}

std::string comm_usb_words(const comm_usb_params& p) {
    char text[COMM_DEVID_SIZE];
    comm_usb_display(p, nullptr, nullptr, text, sizeof text);
    return std::string(text).substr(4);
}

int comm_usb_set_access_advice(const char* text) {
    access_advice = text != nullptr ? text : "";
    return 0;
}

void comm_usb_refused(comm_link* link, const comm_usb_params& p, int kind) {
    char note[COMM_NOTE_SIZE];
    const std::string device = comm_usb_words(p);
    if (kind == COMM_USB_NO_PERMISSION || kind == COMM_USB_NOT_BOUND) {
        comm_format(note, sizeof note,
                    kind == COMM_USB_NO_PERMISSION
                        ? "No permission to use the USB device at %s.\n%s"
                        : "The USB device at %s is not bound to WinUSB, so it cannot be used.\n%s",
                    device.c_str(), access_advice.load());
    } else if (kind == COMM_USB_IN_USE) {
        comm_format(note, sizeof note,
                    "The USB device at %s is in use by another program; close it and try again.\n",
                    device.c_str());
    } else if (kind == COMM_USB_GONE) {
        comm_format(note, sizeof note,
                    "No instrument at %s any more: it was unplugged or moved to another port; "
                    "list the devices again.\n",
                    device.c_str());
    } else {
        return;
    }
    comm_link_note(link, note);
}

int comm_usb_watch(const comm_transport* transport, void* state, comm_usb_callback callback,
                   void* arg) {
    return comm_slot_start(watching, transport, state, watch_event,
                           new watch_context{callback, arg}, 16);
}

void comm_usb_unwatch(void) {
    comm_endpoint_stop(comm_slot_take(watching));
}

int comm_usb_parse(const char* conn_string, comm_usb_params* out) {
    std::string_view text(conn_string);
    if (text.substr(0, 3) != "USB") return 0;
    // USBx:LOCATION:VVVV[:ARG]/PPPP
    if (text.size() < 5 || !tag_char(text[3]) || text[4] != ':') return -1;
    comm_usb_params p{};
    text.copy(p.tag, 4);
    p.tag[4] = '\0';
    text.remove_prefix(5);
    size_t slash = text.rfind('/');
    if (slash == std::string_view::npos) return -1;
    long product, vendor, arg = -1;
    if (!comm_parse_hex(text.substr(slash + 1), 4, 0, 0xFFFF, &product)) return -1;
    text = text.substr(0, slash);
    size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon >= sizeof p.location) return -1;
    std::string_view location = text.substr(0, colon);
    for (char ch : location)
        if (!location_char(ch)) return -1;
    text.remove_prefix(colon + 1);
    size_t arg_colon = text.find(':');
    if (arg_colon != std::string_view::npos) {
        if (!comm_parse_decimal(text.substr(arg_colon + 1), 0, 0x7FFFFFFF, &arg)) return -1;
        text = text.substr(0, arg_colon);
    }
    if (!comm_parse_hex(text, 4, 0, 0xFFFF, &vendor)) return -1;
    location.copy(p.location, location.size());
    p.location[location.size()] = '\0';
    p.vendor_id = static_cast<int>(vendor);
    p.product_id = static_cast<int>(product);
    p.arg = static_cast<int>(arg);
    *out = p;
    return 1;
}

int comm_make_conn_string_usb(char* out, const char* device, int arg, int vendor_id,
                              int product_id) {
    if (out == nullptr) return -1;
    out[0] = '\0';
    comm_usb_params p;
    if (device == nullptr || comm_usb_parse(device, &p) != 1 || arg < 0 || vendor_id < 0 ||
        vendor_id > 0xFFFF || product_id < 0 || product_id > 0xFFFF)
        return -1;
    return comm_format(out, COMM_CONN_STRING_SIZE, "%s:%s:%04x:%d/%04x", p.tag, p.location,
                       vendor_id, arg, product_id);
}
