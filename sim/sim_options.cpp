#include "sim_options.h"

#include "sim_sys.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

typedef bool (*special_proc)(sim_options* opt, const char* value, std::string* error);

// One row per option; a row without a name is a heading of the help text. Exactly one of flag,
// number, text and special is set.
struct option_def {
    const char* name;
    const char* arg;  // the value's name in the help; null for a flag
    bool sim_options::*flag;
    int sim_options::*number;
    std::string sim_options::*text;
    special_proc special;
    long min, max;  // range of a number, or 1..max characters of a text
    const char* help;
};

bool parse_long(const char* s, long min, long max, long* out) {
    if (s == nullptr || *s == '\0') return false;
    errno = 0;
    char* end = nullptr;
    long v = std::strtol(s, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool set_bind(sim_options* opt, const char* value, std::string* error) {
    if (!sim_is_address(value)) {
        *error = std::string("--bind needs a numeric IPv4 or IPv6 address, not '") + value + "'";
        return false;
    }
    opt->bind = value;
    return true;
}

bool set_serial(sim_options* opt, const char* value, std::string* error) {
    size_t n = std::strlen(value);
    bool printable = n >= 1 && n <= 8;
    for (size_t i = 0; printable && i < n; ++i) printable = value[i] > ' ' && value[i] < 0x7F;
    if (!printable) {
        *error = "--serial needs 1 to 8 printable characters";
        return false;
    }
    opt->serial = value;
    return true;
}

bool add_error_reply(sim_options* opt, const char* value, std::string* error) {
    long code;
    if (!parse_long(value, 0, 65535, &code)) {
        *error = std::string("--error-reply needs a request code, not '") + value + "'";
        return false;
    }
    opt->error_reply.push_back(static_cast<int>(code));
    return true;
}

bool add_fail_code(sim_options* opt, const char* value, std::string* error) {
    std::string v(value);
    size_t colon = v.find(':');
    long code, status = 1;
    bool ok = parse_long(v.substr(0, colon).c_str(), 0, 65535, &code);
    if (ok && colon != std::string::npos)
        ok = parse_long(v.substr(colon + 1).c_str(), 1, 255, &status);
    if (!ok) {
        *error = std::string("--fail-code needs CODE or CODE:STATUS (status 1..255), not '") +
                 value + "'";
        return false;
    }
    opt->fail_code.push_back({static_cast<int>(code), static_cast<int>(status)});
    return true;
}

bool set_close_at(sim_options* opt, const char* value, std::string* error) {
    std::string v(value);
    size_t colon = v.find(':');
    long code, count;
    if (colon == std::string::npos || !parse_long(v.substr(0, colon).c_str(), 0, 65535, &code) ||
        !parse_long(v.substr(colon + 1).c_str(), 1, 1000000, &count)) {
        *error = std::string("--close-at needs CODE:N (N from 1), not '") + value + "'";
        return false;
    }
    opt->close_at = {static_cast<int>(code), static_cast<int>(count)};
    return true;
}

// One instrument number or several separated by commas; repeatable.
bool add_fault_on(sim_options* opt, const char* value, std::string* error) {
    std::string v(value);
    for (size_t at = 0; at <= v.size();) {
        size_t comma = v.find(',', at);
        if (comma == std::string::npos) comma = v.size();
        long n;
        if (!parse_long(v.substr(at, comma - at).c_str(), 1, SIM_MAX_INSTRUMENTS, &n)) {
            *error = std::string("--fault-on needs instrument numbers from 1 to ") +
                     std::to_string(SIM_MAX_INSTRUMENTS) + ", not '" + value + "'";
            return false;
        }
        opt->fault_on.push_back(static_cast<int>(n));
        at = comma + 1;
    }
    return true;
}

using O = sim_options;
constexpr long MAX_MS = 3600000;  // an hour
constexpr long MAX_COUNT = 1000000;

const option_def OPTIONS[] = {
    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, "Where it listens"},
    {"--bind", "ADDR", nullptr, nullptr, nullptr, set_bind, 0, 0,
     "address of the TCP and UDP sockets (default 127.0.0.1; only loopback unless you mean "
     "otherwise)"},
    {"--port", "N", nullptr, &O::port, nullptr, nullptr, 0, 65535,
     "TCP port of the link (default 4444; 0 picks a free port)"},
    {"--discovery-port", "N", nullptr, &O::discovery_port, nullptr, nullptr, 0, 65535,
     "UDP port that answers discovery requests (default 4455; 0 picks a free port)"},
    {"--pty", nullptr, &O::pty, nullptr, nullptr, nullptr, 0, 0,
     "also serve the link on a new pseudo-terminal in raw mode (its path is printed)"},
    {"--instruments", "N", nullptr, &O::instruments, nullptr, nullptr, 1, SIM_MAX_INSTRUMENTS,
     "serve a bench of N instruments (default 1): instrument k (from 0) on TCP port --port + k, "
     "its serial number the --serial one with its trailing number raised by k; one discovery "
     "port announces them all"},

    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, "The instrument"},
    {"--serial", "TEXT", nullptr, nullptr, nullptr, set_serial, 0, 0,
     "serial number, 1 to 8 characters (default C0001234); the console accepts only a serial "
     "starting with C"},
    {"--refuse-identify", nullptr, &O::refuse_identify, nullptr, nullptr, nullptr, 0, 0,
     "answer the serial request with a serial starting with B, so the console refuses it"},
    {"--hostile-texts", nullptr, &O::hostile_texts, nullptr, nullptr, nullptr, 0, 0,
     "the versions record and the serial number (after its C) carry terminal escapes, BEL, CR, "
     "C1 controls and invalid UTF-8, as a hostile device would send them"},
    {"--usb-mode", "N", nullptr, &O::usb_mode, nullptr, nullptr, 0, 65535,
     "usb_mode of the parameter record at power-on (default 0)"},
    {"--erase-ms", "N", nullptr, &O::erase_ms, nullptr, nullptr, 0, MAX_MS,
     "time an erase of the external flash takes before its reply (default 20)"},
    {"--event-ms", "N", nullptr, &O::event_ms, nullptr, nullptr, 1, MAX_MS,
     "pace of progress and spectrum events while an accumulation runs, and of --events "
     "(default 500)"},
    {"--events", nullptr, &O::events, nullptr, nullptr, nullptr, 0, 0,
     "also send keyboard, status, total and light-sensor events at that pace"},
    {"--noise-seed", "N", nullptr, &O::noise_seed, nullptr, nullptr, 0, 2147483647,
     "draw the spectra with Poisson counting noise from seed N (the same seed gives the same "
     "spectra; default: no noise, the exact expected counts)"},
    {"--block-ms", "N", nullptr, &O::block_ms, nullptr, nullptr, 0, MAX_MS,
     "time a block write of the external flash takes before its reply (default 0)"},
    {"--flash-ms", "N", nullptr, &O::flash_ms, nullptr, nullptr, 0, MAX_MS,
     "time programming the firmware takes before the flash request's reply (default 0)"},
    {"--boot-ms", "N", nullptr, &O::boot_ms, nullptr, nullptr, 0, MAX_MS,
     "time the instrument is off after a restart, a power off or a flash: links are closed at "
     "once and discovery goes unanswered (default 0)"},

    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, "Discovery announcement"},
    {"--ident", "TEXT", nullptr, nullptr, &O::ident, nullptr, 1, 10,
     "ident field, up to 10 characters (default the serial number)"},
    {"--name", "TEXT", nullptr, nullptr, &O::name, nullptr, 1, 40,
     "name field, up to 40 characters (default \"NV-52 \" and the serial number)"},
    {"--announce-address", "TEXT", nullptr, nullptr, &O::announce_address, nullptr, 1, 16,
     "address field, up to 16 characters (default the --bind address)"},

    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0,
     "Faults (combinable; counters start afresh on every link)"},
    {"--drop-every", "N", nullptr, &O::drop_every, nullptr, nullptr, 0, MAX_COUNT,
     "do not send every Nth reply (the request still takes effect)"},
    {"--delay-ms", "N", nullptr, &O::delay_ms, nullptr, nullptr, 0, MAX_MS,
     "send every reply N ms late"},
    {"--corrupt-header-every", "N", nullptr, &O::corrupt_header_every, nullptr, nullptr, 0,
     MAX_COUNT, "spoil the header checksum of every Nth reply"},
    {"--corrupt-payload-every", "N", nullptr, &O::corrupt_payload_every, nullptr, nullptr, 0,
     MAX_COUNT, "spoil the payload of every Nth reply (its checksum no longer matches)"},
    {"--status-replies", "N", nullptr, &O::status_replies, nullptr, nullptr, 0, 1000,
     "send N general status replies (12289, status 0) before every reply"},
    {"--error-reply", "CODE", nullptr, nullptr, nullptr, add_error_reply, 0, 0,
     "answer request CODE with the general error reply (12290); repeatable"},
    {"--fail-code", "CODE[:STATUS]", nullptr, nullptr, nullptr, add_fail_code, 0, 0,
     "answer request CODE with its reply carrying STATUS (default 1) and no payload; "
     "repeatable"},
    {"--fail-times", "N", nullptr, &O::fail_times, nullptr, nullptr, 0, MAX_COUNT,
     "--fail-code fails only the first N requests of each code, then the instrument answers "
     "normally (default 0: always)"},
    {"--close-after", "N", nullptr, &O::close_after, nullptr, nullptr, 0, MAX_COUNT,
     "close the link when the Nth frame arrives, without answering it (earlier replies still go "
     "out)"},
    {"--close-at", "CODE:N", nullptr, nullptr, nullptr, set_close_at, 0, 0,
     "close the link when the Nth request of CODE arrives on it, without answering it "
     "(--close-at 8102:3: at the third block of an upload)"},
    {"--close-links", "N", nullptr, &O::close_links, nullptr, nullptr, 0, MAX_COUNT,
     "--close-at closes only the first N links of the instrument (default 0: every link)"},
    {"--never-back", nullptr, &O::never_back, nullptr, nullptr, nullptr, 0, 0,
     "after a successful flash the instrument stays off"},
    {"--keep-version", nullptr, &O::keep_version, nullptr, nullptr, nullptr, 0, 0,
     "after a successful flash the instrument still runs its old firmware version"},
    {"--split", nullptr, &O::split, nullptr, nullptr, nullptr, 0, 0,
     "write every frame in pieces of 1 to 7 bytes with short pauses"},
    {"--fault-on", "K[,K...]", nullptr, nullptr, nullptr, add_fault_on, 0, 0,
     "the faults of this group (and --refuse-identify, --hostile-texts) apply only to "
     "instrument K (from 1); repeatable (default: to every instrument)"},

    {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, "Other"},
    {"--log", nullptr, &O::log, nullptr, nullptr, nullptr, 0, 0,
     "one line per link, request, reply fault, event and dropped frame on standard error"},
    {"--help", nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, "this text"},
};

const option_def* find_option(const std::string& name) {
    for (const auto& o : OPTIONS)
        if (o.name != nullptr && name == o.name) return &o;
    return nullptr;
}

bool apply(const option_def& o, const char* value, sim_options* opt, std::string* error) {
    if (o.special) return o.special(opt, value, error);
    if (o.number) {
        long v;
        if (!parse_long(value, o.min, o.max, &v)) {
            *error = std::string(o.name) + " needs a whole number from " + std::to_string(o.min) +
                     " to " + std::to_string(o.max) + ", not '" + value + "'";
            return false;
        }
        opt->*o.number = static_cast<int>(v);
        return true;
    }
    size_t n = std::strlen(value);
    if (n < static_cast<size_t>(o.min) || n > static_cast<size_t>(o.max)) {
        *error = std::string(o.name) + " needs " + std::to_string(o.min) + " to " +
                 std::to_string(o.max) + " characters";
        return false;
    }
    opt->*o.text = value;
    return true;
}

}  // namespace

int sim_parse_options(int argc, char** argv, sim_options* opt, std::string* error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string name = arg;
        const char* value = nullptr;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = argv[i] + eq + 1;
        }
        const option_def* o = find_option(name);
        if (o == nullptr) {
            *error = "unknown option '" + arg + "'";
            return SIM_PARSE_ERROR;
        }
        if (name == "--help") return SIM_PARSE_HELP;
        if (o->arg == nullptr) {
            if (value != nullptr) {
                *error = name + " takes no value";
                return SIM_PARSE_ERROR;
            }
            opt->*o->flag = true;
            continue;
        }
        if (value == nullptr) {
            if (i + 1 >= argc) {
                *error = name + " needs a value (" + o->arg + ")";
                return SIM_PARSE_ERROR;
            }
            value = argv[++i];
        }
        if (!apply(*o, value, opt, error)) return SIM_PARSE_ERROR;
    }
    // Every instrument of the bench needs a serial number of its own.
    if (opt->instruments > 1 &&
        sim_instrument_options(*opt, opt->instruments - 1).serial == opt->serial) {
        *error = "--serial must end in a number that leaves room for " +
                 std::to_string(opt->instruments) + " instruments";
        return SIM_PARSE_ERROR;
    }
    for (int k : opt->fault_on) {
        if (k > opt->instruments) {
            *error = "--fault-on " + std::to_string(k) + ": there are only " +
                     std::to_string(opt->instruments) + " instruments";
            return SIM_PARSE_ERROR;
        }
    }
    return SIM_PARSE_OK;
}

sim_options sim_instrument_options(const sim_options& opt, int index) {
    sim_options own = opt;
    // The trailing number raised by `index`, its width kept; one that would outgrow its width
    // leaves the serial as it is (refused when the command line is read).
    size_t digits = opt.serial.size();
    while (digits > 0 && opt.serial[digits - 1] >= '0' && opt.serial[digits - 1] <= '9') --digits;
    const size_t width = opt.serial.size() - digits;
    if (index > 0 && width > 0) {
        const unsigned long long n = std::stoull(opt.serial.substr(digits)) + index;
        std::string number = std::to_string(n);
        if (number.size() <= width)
            own.serial =
                opt.serial.substr(0, digits) + std::string(width - number.size(), '0') + number;
    }
    // The announcement's own texts belong to the first instrument; the others announce their
    // serial numbers.
    if (index > 0) own.ident.clear(), own.name.clear();
    const bool faulty = opt.fault_on.empty() || std::find(opt.fault_on.begin(), opt.fault_on.end(),
                                                          index + 1) != opt.fault_on.end();
    if (!faulty) {
        const sim_options plain;
        own.refuse_identify = plain.refuse_identify;
        own.hostile_texts = plain.hostile_texts;
        own.drop_every = plain.drop_every;
        own.delay_ms = plain.delay_ms;
        own.corrupt_header_every = plain.corrupt_header_every;
        own.corrupt_payload_every = plain.corrupt_payload_every;
        own.status_replies = plain.status_replies;
        own.error_reply = plain.error_reply;
        own.fail_code = plain.fail_code;
        own.fail_times = plain.fail_times;
        own.close_after = plain.close_after;
        own.close_at = plain.close_at;
        own.close_links = plain.close_links;
        own.never_back = plain.never_back;
        own.keep_version = plain.keep_version;
        own.split = plain.split;
    }
    return own;
}

constexpr size_t HELP_LEFT = 26;   // option column
constexpr size_t HELP_RIGHT = 50;  // help column: 2 + 26 + 1 + 50 = 79 characters a line

void sim_print_usage(FILE* out) {
    std::fprintf(out,
                 "Usage: nv52-sim [OPTION]...\n"
                 "A simulated NV-52 instrument: speaks the link protocol on TCP and, with\n"
                 "--pty, on a pseudo-terminal, and answers discovery on UDP. At start it\n"
                 "prints, one per line:\n"
                 "  listening tcp ADDR:PORT\n"
                 "  listening udp ADDR:PORT\n"
                 "  pty PATH            (with --pty)\n"
                 "Each instrument serves one link at a time; it ends on SIGINT or SIGTERM.\n"
                 "With --instruments N there is one \"listening tcp\" line per instrument.\n");
    for (const auto& o : OPTIONS) {
        if (o.name == nullptr) {
            std::fprintf(out, "\n%s:\n", o.help);
            continue;
        }
        std::string left = std::string(o.name) + (o.arg ? std::string(" ") + o.arg : "");
        if (left.size() > HELP_LEFT) {
            std::fprintf(out, "  %s\n", left.c_str());
            left.clear();
        }
        // The help text wrapped at word boundaries into the right-hand column.
        std::string text = o.help;
        while (!text.empty()) {
            size_t cut = text.size();
            if (cut > HELP_RIGHT) {
                cut = text.rfind(' ', HELP_RIGHT);
                if (cut == std::string::npos) cut = HELP_RIGHT;
            }
            std::fprintf(out, "  %-*s %s\n", static_cast<int>(HELP_LEFT), left.c_str(),
                         text.substr(0, cut).c_str());
            left.clear();
            text.erase(0, cut < text.size() ? cut + 1 : cut);
        }
    }
    std::fprintf(out,
                 "\nExit status: 0 after SIGINT/SIGTERM or --help, 1 when a socket or the\n"
                 "pseudo-terminal cannot be set up, 2 on a wrong command line.\n");
}
