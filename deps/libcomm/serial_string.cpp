// The serial connection string, shared by every system, and its makers:
//   serial:COM3?baud=115200&bits=8&parity=none&stop=1&flow=none
//   serial:/dev/ttyUSB0?baud=115200&bits=8&parity=none&stop=1&flow=none
// What a COM number or a path opens is the system's own (serial_posix.cpp, serial_win.cpp).
#include <cstring>
#include <string>

#include "comm_internal.h"

namespace {

constexpr std::string_view PREFIX = "serial:";
constexpr int MAX_COM_PORT = 255;

// The speeds a link may ask for.
constexpr int BAUD_RATES[] = {
    1200,   2400,   4800,   9600,    19200,   38400,   57600,   115200,  230400,  460800,
    500000, 576000, 921600, 1000000, 1152000, 1500000, 2000000, 3000000, 4000000,
};

// Names of the parity and flow settings in the query, indexed by their numbers.
constexpr const char* PARITY_NAMES[] = {"none", "odd", "even"};
constexpr const char* FLOW_NAMES[] = {"none", "rtscts", "xonxoff"};

bool valid_baud(long value) {
    for (int b : BAUD_RATES)
        if (b == value) return true;
    return false;
}

template <size_t N>
int name_index(const char* const (&names)[N], std::string_view text) {
    for (size_t i = 0; i < N; ++i)
        if (text == names[i]) return static_cast<int>(i);
    return -1;
}

bool valid_settings(int baud, int data_bits, int stop_bits, int parity, int flow) {
    return valid_baud(baud) && data_bits >= 5 && data_bits <= 8 &&
           (stop_bits == 1 || stop_bits == 2) && parity >= COMM_PARITY_NONE &&
           parity <= COMM_PARITY_EVEN && flow >= COMM_FLOW_NONE && flow <= COMM_FLOW_XONXOFF;
}

}  // namespace

int comm_serial_parse(const char* conn_string, comm_serial_params* out) {
    std::string_view target, query;
    // A path may hold a '?' itself.
    if (!comm_split_link(conn_string, PREFIX, comm_query_at::last, &target, &query)) return 0;
    comm_serial_params p{};
    long number;
    if (target.substr(0, 3) == "COM") {
        if (!comm_parse_decimal(target.substr(3), 1, MAX_COM_PORT, &number)) return -1;
        p.com_port = static_cast<int>(number);
    } else {
        if (target.empty() || target[0] != '/' || target.size() >= sizeof p.path) return -1;
        for (char ch : target)
            if (static_cast<unsigned char>(ch) < 0x20) return -1;
        target.copy(p.path, target.size());
        p.path[target.size()] = '\0';
    }
    p.baud = 115200;
    p.data_bits = 8;
    p.stop_bits = 1;
    comm_query q;
    static const char* const known[] = {"baud", "bits", "parity", "stop", "flow", nullptr};
    if (!comm_query_split(query, &q) || !comm_query_only(q, known)) return -1;
    std::string_view value;
    if (comm_query_find(q, "baud", &value)) {
        if (!comm_parse_decimal(value, 1, 4000000, &number)) return -1;
        p.baud = static_cast<int>(number);
    }
    if (comm_query_find(q, "bits", &value)) {
        if (!comm_parse_decimal(value, 5, 8, &number)) return -1;
        p.data_bits = static_cast<int>(number);
    }
    if (comm_query_find(q, "stop", &value)) {
        if (!comm_parse_decimal(value, 1, 2, &number)) return -1;
        p.stop_bits = static_cast<int>(number);
    }
    if (comm_query_find(q, "parity", &value) && (p.parity = name_index(PARITY_NAMES, value)) < 0)
        return -1;
    if (comm_query_find(q, "flow", &value) && (p.flow = name_index(FLOW_NAMES, value)) < 0)
        return -1;
    if (!valid_settings(p.baud, p.data_bits, p.stop_bits, p.parity, p.flow)) return -1;
    *out = p;
    return 1;
}

int comm_make_conn_string_serial(char* out, int port, int baud, int data_bits, int stop_bits,
                                 int parity, int flow) {
    if (out == nullptr) return -1;
    out[0] = '\0';
    if (port < 1 || port > MAX_COM_PORT ||
        !valid_settings(baud, data_bits, stop_bits, parity, flow))
        return -1;
    return comm_format(out, COMM_CONN_STRING_SIZE,
                       "serial:COM%d?baud=%d&bits=%d&parity=%s&stop=%d&flow=%s", port, baud,
                       data_bits, PARITY_NAMES[parity], stop_bits, FLOW_NAMES[flow]);
}

int comm_make_conn_string_serial_path(char* out, const char* path, int baud, int data_bits,
                                      int stop_bits, int parity, int flow) {
    if (out == nullptr) return -1;
    out[0] = '\0';
    if (path == nullptr || path[0] != '/' ||
        !valid_settings(baud, data_bits, stop_bits, parity, flow))
        return -1;
    for (const char* p = path; *p; ++p)
        if (static_cast<unsigned char>(*p) < 0x20) return -1;
    return comm_format(out, COMM_CONN_STRING_SIZE,
                       "serial:%s?baud=%d&bits=%d&parity=%s&stop=%d&flow=%s", path, baud, data_bits,
                       PARITY_NAMES[parity], stop_bits, FLOW_NAMES[flow]);
}
