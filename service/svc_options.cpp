// Reading nv-service's command line: see svc_options.h.
#include "svc_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_SECONDS = 86400;  // an assay, a wait: at most a day
constexpr int MAX_RETRIES = 10;

struct ActionWord {
    const char* word;
    svc_action_kind kind;
    int arguments;  // words that follow it
};
constexpr ActionWord ACTIONS[] = {
    {"info", svc_action_kind::info, 0},           {"time-sync", svc_action_kind::time_sync, 0},
    {"flash", svc_action_kind::flash, 1},         {"usb-mode", svc_action_kind::usb_mode, 0},
    {"assay", svc_action_kind::assay, 2},         {"stabilise", svc_action_kind::stabilise, 1},
    {"stabilize", svc_action_kind::stabilise, 1}, {"power-off", svc_action_kind::power_off, 0},
};

bool read_int(const char* text, int min, int max, int* out) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *out = static_cast<int>(v);
    return true;
}

// "ADDR", "ADDR:PORT", "[IPv6]" or "[IPv6]:PORT"; a bare IPv6 address takes no port.
bool read_address(const std::string& text, std::string* address, int* port) {
    std::string host = text, rest;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        rest = text.substr(text.find(':'));
    }
    if (!rest.empty() && (rest[0] != ':' || !read_int(rest.c_str() + 1, 1, 65535, port)))
        return false;
    *address = host;
    return !host.empty();
}

}  // namespace

const char* svc_action_name(svc_action_kind kind) {
    for (const ActionWord& a : ACTIONS)
        if (a.kind == kind) return a.word;
    return "?";
}

const char* svc_exit_text(int code) {
    switch (code) {
        case SVC_OK:
            return "done";
        case SVC_UNRECORDED:
            return "done, but not recorded";
        case SVC_USAGE:
            return "wrong command line";
        case SVC_NOT_FOUND:
            return "not found or not reachable";
        case SVC_REFUSED:
            return "refused by the instrument";
        case SVC_NO_REPLY:
            return "no reply in time";
        case SVC_LINK_LOST:
            return "link lost";
        case SVC_NOT_BACK:
            return "did not come back";
        case SVC_NOT_VERIFIED:
            return "verification failed";
        case SVC_FILE:
            return "file error";
        default:
            return "failed";
    }
}

int svc_parse(int argc, char** argv, svc_options* o, std::string* error) {
    *o = svc_options{};
    bool command_given = false;
    bool record_given = false;
    auto fail = [&](const std::string& why) {
        *error = why;
        return SVC_USAGE;
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        // An option's value: the next word, or what follows '=' in "--name=value".
        std::string name = arg, value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos) {
            name = arg.substr(0, arg.find('='));
            value = arg.substr(arg.find('=') + 1);
            has_value = true;
        }
        auto next = [&](std::string* out) {
            if (has_value) return *out = value, true;
            if (i + 1 >= argc) return false;
            *out = argv[++i];
            return true;
        };
        auto number = [&](int min, int max, int* out) {
            std::string v;
            if (!next(&v)) return fail(name + " needs a value"), false;
            if (!read_int(v.c_str(), min, max, out))
                return fail(name + " needs a whole number from " + std::to_string(min) + " to " +
                            std::to_string(max) + ", not '" + v + "'"),
                       false;
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            o->command = svc_command::help;
            return SVC_OK;
        }
        if (arg == "--version") {
            o->command = svc_command::version;
            return SVC_OK;
        }
        if (name == "-d" || name == "--device") {
            std::string d;
            if (!next(&d) || d.empty()) return fail(name + " needs a DEVICE");
            o->devices.push_back(d);
        } else if (arg == "--all") {
            o->all = true;
        } else if (arg == "--json") {
            o->json = true;
        } else if (name == "--serial") {
            if (!next(&o->serial_glob) || o->serial_glob.empty())
                return fail("--serial needs a pattern");
        } else if (name == "--record") {
            if (!next(&o->record) || o->record.empty()) return fail("--record needs a FILE");
            record_given = true;
        } else if (name == "--log") {
            if (!next(&o->log) || o->log.empty()) return fail("--log needs a FILE");
        } else if (name == "--retries") {
            if (!number(0, MAX_RETRIES, &o->retries)) return SVC_USAGE;
        } else if (name == "--back-wait") {
            if (!number(1, MAX_SECONDS, &o->back_wait_s)) return SVC_USAGE;
        } else if (name == "--stabilise-limit") {
            if (!number(1, MAX_SECONDS, &o->stabilise_s)) return SVC_USAGE;
        } else if (name == "--discover") {
            std::string v;
            if (!next(&v) || !read_address(v, &o->discover, &o->discover_port))
                return fail("--discover needs ADDR or ADDR:PORT, not '" + v + "'");
        } else if (name == "--discover-ms") {
            if (!number(100, 60000, &o->discover_ms)) return SVC_USAGE;
        } else if (!arg.empty() && arg[0] == '-') {
            return fail("unknown option '" + arg + "'");
        } else if (!command_given && o->actions.empty() && o->command == svc_command::run &&
                   (arg == "list" || arg == "history")) {
            o->command = arg == "list" ? svc_command::list : svc_command::history;
            command_given = true;
        } else if (o->command == svc_command::history) {
            if (!o->history_serial.empty()) return fail("history takes one SERIAL");
            o->history_serial = arg;
        } else if (o->command == svc_command::list) {
            return fail("list takes no '" + arg + "'");
        } else {
            const ActionWord* w = nullptr;
            for (const ActionWord& a : ACTIONS)
                if (arg == a.word) w = &a;
            if (w == nullptr) return fail("unknown action '" + arg + "'");
            if (i + w->arguments >= argc)
                return fail(arg + (w->kind == svc_action_kind::assay   ? " needs SECONDS and DIR"
                                   : w->kind == svc_action_kind::flash ? " needs FILE.xfw"
                                                                       : " needs DIR"));
            svc_action a{w->kind, "", 0};
            if (w->kind == svc_action_kind::assay) {
                if (!read_int(argv[i + 1], 0, MAX_SECONDS, &a.seconds))
                    return fail("assay needs SECONDS from 0 to " + std::to_string(MAX_SECONDS) +
                                ", not '" + argv[i + 1] + "'");
                a.file = argv[i + 2];
            } else if (w->arguments == 1) {
                a.file = argv[i + 1];
            }
            if (w->arguments > 0 && a.file.empty()) return fail(arg + ": an empty name");
            i += w->arguments;
            o->actions.push_back(a);
        }
    }

    if (o->command == svc_command::list) {
        if (!o->devices.empty() || o->all || record_given || !o->log.empty())
            return fail("list takes only --json and the discovery options");
        return SVC_OK;
    }
    if (o->command == svc_command::history) {
        if (!o->devices.empty() || o->all) return fail("history takes no DEVICE");
        return SVC_OK;
    }
    if (o->actions.empty()) return fail("no ACTION given (info, time-sync, flash, ...)");
    if (o->devices.empty() && !o->all) return fail("no instrument given: -d DEVICE or --all");
    if (!o->serial_glob.empty() && !o->all) return fail("--serial filters --all");
    int flashes = 0;
    for (size_t k = 0; k < o->actions.size(); ++k) {
        if (o->actions[k].kind == svc_action_kind::flash) ++flashes;
        if (o->actions[k].kind == svc_action_kind::power_off && k + 1 != o->actions.size())
            return fail("power-off must be the last action: the instrument is off after it");
    }
    if (flashes > 1) return fail("one flash a run");
    return SVC_OK;
}

void svc_print_usage(FILE* out) {
    std::fputs(
        "Usage: nv-service list [--json] [--discover ADDR[:PORT]] [--discover-ms MS]\n"
        "       nv-service [-d DEVICE]... [--all [--serial GLOB]] [OPTION]... ACTION...\n"
        "       nv-service history [--record FILE] [--json] [SERIAL]\n"
        "Services NV-52 instruments: every instrument addressed, on its own link at once, does\n"
        "the ACTIONs in order and stops at its first failure. Each line names the instrument;\n"
        "a summary table ends the run, and one JSON Lines record per instrument is appended\n"
        "to the service record.\n"
        "\n"
        "Actions:\n"
        "  info                 model, serial number, versions, status and clock\n"
        "  time-sync            sets the instrument's clock to the PC's\n"
        "  flash FILE.xfw       uploads and flashes the container, waits for the instrument\n"
        "                       to come back and verifies that it runs the container's version\n"
        "  usb-mode             switches the USB mode from 0 to 1 and restarts the instrument\n"
        "  assay SECONDS DIR    runs an assay, keeps its spectrum as DIR/SERIAL-TIME.spc\n"
        "  stabilise DIR        runs a caesium-137 stabilisation, keeps its spectrum the same\n"
        "  power-off            powers the instrument off (the last action)\n"
        "\n"
        "DEVICE: HOST[:PORT] (port 4444 unless given), a serial device's path or COMn, a USB\n"
        "place (1-4.2) or serial number, a Bluetooth address, a serial number found by\n"
        "discovery (C0001234), or a connection string (tcp://..., serial:..., bt:..., USB...).\n"
        "\n"
        "Options:\n"
        "  -d, --device DEVICE  an instrument to service; repeatable\n"
        "  --all                every instrument list finds\n"
        "  --serial GLOB        with --all: only serial numbers matching GLOB (* and ?)\n"
        "  --json               one JSON object per instrument and line on standard output\n"
        "  --record FILE        the service record (default\n"
        "                       $XDG_STATE_HOME/nv-term/service.jsonl)\n"
        "  --log FILE           appends a time-stamped log of the session to FILE\n"
        "  --retries N          uploads retried after a dropped link (default 2)\n"
        "  --back-wait SECONDS  how long an instrument may take to come back (default 120)\n"
        "  --stabilise-limit SECONDS  the longest a stabilisation may run (default 120)\n"
        "  --discover ADDR[:PORT]     where discovery asks (default 255.255.255.255:4455)\n"
        "  --discover-ms MS     how long discovery listens (default 3000)\n"
        "  --help, --version\n"
        "\n"
        "Exit status, the worst of the instruments':\n",
        out);
    for (int code = SVC_OK; code <= SVC_FILE; ++code)
        std::fprintf(out, "  %d  %s\n", code, svc_exit_text(code));
}
