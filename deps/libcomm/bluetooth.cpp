// Bluetooth connection strings, inquiry entries and the operator's notes, shared by every build.
// The RFCOMM links are in bluetooth_link.cpp, the inquiry's thread in bluetooth_inquiry.cpp,
// availability, inquiries and the system calls under the links in bluetooth_bluez.cpp (BlueZ)
// and bluetooth_win.cpp (Windows); a build without Bluetooth has bt_absent.cpp.
//
// Connection strings and inquiry entries:
//   bt:00:11:22:AA:BB:CC?channel=1&cod=ffe050&pin=1234&timeout=60000&name=NV-52%20A
// The name is percent-encoded (every byte but letters, digits and "-._~").
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "comm_internal.h"

namespace {

constexpr std::string_view PREFIX = "bt:";
constexpr int ADDRESS_LENGTH = 17;
constexpr int MAX_CHANNEL = 30;
constexpr long MAX_TIMEOUT_MS = 3600000;
constexpr int MAX_PIN = 16;

bool is_hex(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F');
}

bool is_alnum(char ch) {
    return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}

// "XX:XX:XX:XX:XX:XX", hex digits in either case.
bool valid_address(std::string_view a) {
    if (a.size() != ADDRESS_LENGTH) return false;
    for (int i = 0; i < ADDRESS_LENGTH; ++i)
        if (i % 3 == 2 ? a[i] != ':' : !is_hex(a[i])) return false;
    return true;
}

bool valid_pin(std::string_view pin) {
    if (pin.size() > MAX_PIN) return false;
    for (char ch : pin)
        if (!is_alnum(ch)) return false;
    return true;
}

bool plain_name_char(char ch) {
    return is_alnum(ch) || ch == '-' || ch == '.' || ch == '_' || ch == '~';
}

// Percent-encodes `name`; false when it holds a control character or does not fit.
bool encode_name(const char* name, std::string* out) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    for (const char* p = name; *p; ++p) {
        auto ch = static_cast<unsigned char>(*p);
        if (ch < 0x20 || ch == 0x7f) return false;
        if (plain_name_char(*p)) {
            out->push_back(*p);
        } else {
            out->push_back('%');
            out->push_back(HEX[ch >> 4]);
            out->push_back(HEX[ch & 15]);
        }
    }
    return out->size() < COMM_TEXT_SIZE;
}

bool decode_name(std::string_view text, char* out, size_t size) {
    size_t n = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        long ch = static_cast<unsigned char>(text[i]);
        if (text[i] == '%') {
            std::string_view hex = text.substr(i + 1, 2);
            if (hex.size() != 2 || !comm_parse_hex(hex, 2, 0x20, 0xFF, &ch) || ch == 0x7f)
                return false;
            i += 2;
        } else if (!plain_name_char(text[i])) {
            return false;
        }
        if (n + 1 >= size) return false;
        out[n++] = static_cast<char>(ch);
    }
    out[n] = '\0';
    return true;
}

}  // namespace

int comm_bt_parse(const char* conn_string, comm_bt_params* out) {
    std::string_view address, query;
    if (!comm_split_link(conn_string, PREFIX, comm_query_at::first, &address, &query)) return 0;
    if (!valid_address(address)) return -1;
    comm_bt_params p{};
    address.copy(p.address, address.size());
    p.address[address.size()] = '\0';
    p.channel = 1;
    p.timeout_ms = 60000;
    comm_query q;
    static const char* const known[] = {"channel", "cod", "pin", "timeout", "name", nullptr};
    if (!comm_query_split(query, &q) || !comm_query_only(q, known)) return -1;
    std::string_view value;
    long number;
    if (comm_query_find(q, "channel", &value)) {
        if (!comm_parse_decimal(value, 1, MAX_CHANNEL, &number)) return -1;
        p.channel = static_cast<int>(number);
    }
    if (comm_query_find(q, "cod", &value)) {
        if (!comm_parse_hex(value, 6, 0, 0xFFFFFF, &number)) return -1;
        p.cod = static_cast<int>(number);
    }
    if (comm_query_find(q, "timeout", &value)) {
        if (!comm_parse_decimal(value, 1, MAX_TIMEOUT_MS, &number)) return -1;
        p.timeout_ms = static_cast<int>(number);
    }
    if (comm_query_find(q, "pin", &value)) {
        if (!valid_pin(value)) return -1;
        value.copy(p.pin, value.size());
        p.pin[value.size()] = '\0';
    }
    if (comm_query_find(q, "name", &value) && !decode_name(value, p.name, sizeof p.name)) return -1;
    *out = p;
    return 1;
}

int comm_make_conn_string_bt(char* out, const char* address, const char* name, int cod, int channel,
                             const char* pin, int timeout_ms) {
    if (out == nullptr) return -1;
    out[0] = '\0';
    std::string encoded;
    if (address == nullptr || !valid_address(address) || cod < 0 || cod > 0xFFFFFF || channel < 1 ||
        channel > MAX_CHANNEL || timeout_ms < 1 || timeout_ms > MAX_TIMEOUT_MS ||
        !valid_pin(pin ? pin : "") || !encode_name(name ? name : "", &encoded))
        return -1;
    std::string upper(address);
    for (char& ch : upper)
        if (ch >= 'a' && ch <= 'f') ch = static_cast<char>(ch - 'a' + 'A');
    return comm_format(out, COMM_CONN_STRING_SIZE,
                       "bt:%s?channel=%d&cod=%06x&pin=%s&timeout=%d%s%s", upper.c_str(), channel,
                       cod, pin ? pin : "", timeout_ms,
                       encoded.empty() ? "" : "&name=", encoded.c_str());
}

bool comm_bt_address_bytes(const char* address, uint8_t out[6]) {
    if (address == nullptr || !valid_address(address)) return false;
    for (int i = 0; i < 6; ++i) {
        long byte;
        comm_parse_hex(std::string_view(address + 3 * i, 2), 2, 0, 0xFF, &byte);
        out[i] = static_cast<uint8_t>(byte);
    }
    return true;
}

void comm_bt_address_text(const uint8_t a[6], char out[18]) {
    std::snprintf(out, 18, "%02X:%02X:%02X:%02X:%02X:%02X", a[5], a[4], a[3], a[2], a[1], a[0]);
}

bool comm_bt_entry(const char* address, std::string name, int cod, char* out) {
    for (char& ch : name)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ch = '?';
    for (;;) {
        if (comm_make_conn_string_bt(out, address, name.c_str(), cod, COMM_BT_ENTRY_CHANNEL, "",
                                     COMM_BT_ENTRY_TIMEOUT_MS) == 0)
            return true;
        if (name.empty()) return false;
        name.pop_back();
        while (!name.empty() && (static_cast<unsigned char>(name.back()) & 0xC0) == 0x80)
            name.pop_back();
        if (!name.empty() && static_cast<unsigned char>(name.back()) >= 0xC0) name.pop_back();
    }
}

void comm_bt_refused(comm_link* link, const comm_bt_params& p, int kind,
                     const comm_bt_advice& advice) {
    const char* a = p.address;
    char note[COMM_NOTE_SIZE] = "";
    char pair[COMM_NOTE_SIZE / 2];
    switch (kind) {
        case COMM_BT_NOT_ANSWERING:
            comm_format(note, sizeof note,
                        "Bluetooth device %s did not answer: is it switched on, with its "
                        "Bluetooth enabled, and in range?\n",
                        a);
            break;
        case COMM_BT_CHANNEL_REFUSED:
            comm_format(note, sizeof note,
                        "Bluetooth device %s refused RFCOMM channel %d: no serial link is offered "
                        "there, or the device wants to be paired first.\n",
                        a, p.channel);
            break;
        case COMM_BT_PAIRING_REFUSED:
            std::snprintf(pair, sizeof pair, advice.pair, a, p.pin[0] ? ", PIN " : "", p.pin);
            comm_format(note, sizeof note,
                        "Bluetooth device %s refused the pairing (wrong or missing PIN, or no "
                        "stored key).\n%s",
                        a, pair);
            break;
        case COMM_BT_NO_CONTROLLER:
            comm_format(note, sizeof note, "%s", advice.no_controller);
            break;
        case COMM_BT_NO_SUPPORT:
            comm_format(note, sizeof note, "%s", advice.no_support);
            break;
        default:
            break;
    }
    if (note[0] != '\0') comm_link_note(link, note);
}

bool comm_bt_found::first_time(const char* address) {
    for (const std::string& a : seen)
        if (a == address) return false;
    seen.emplace_back(address);
    return true;
}

void comm_bt_found::add(const char* address, const std::string& name, int cod) {
    char entry[COMM_ENTRY_SIZE];
    if (!full() && comm_bt_entry(address, name, cod, entry)) entries.emplace_back(entry);
}

int comm_bt_describe(const char* entry, char* text, int size) {
    comm_bt_params p;
    if (comm_bt_parse(entry, &p) != 1) return 0;
    if (p.name[0] != '\0') {
        // The name is the device's own text: keep it printable.
        for (char* c = p.name; *c; ++c)
            if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f) *c = '?';
        comm_format(text, size, "Bluetooth %s (%s)", p.name, p.address);
    } else {
        comm_format(text, size, "Bluetooth %s", p.address);
    }
    return 1;
}
