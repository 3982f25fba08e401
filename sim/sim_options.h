// The simulator's command line: every setting of the instrument model, the server and the
// injected faults. Counters of the faults ("every Nth reply", "N frames") start afresh with
// every link.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct sim_fail_code {
    int code;
    int status;
};

struct sim_options {
    // Where it listens.
    std::string bind = "127.0.0.1";
    int port = 4444;
    int discovery_port = 4455;
    bool pty = false;
    // The instrument.
    std::string serial = "C0001234";
    bool refuse_identify = false;
    int usb_mode = 0;
    int erase_ms = 20;
    int event_ms = 500;
    bool events = false;
    bool hostile_texts = false;  // versions and serial carry terminal controls and broken UTF-8
    int noise_seed = -1;  // -1: spectra without counting noise
    // Discovery announcement; empty: the serial, "NV-52 <serial>", the bound address.
    std::string ident, name, announce_address;
    // Faults.
    int drop_every = 0;
    int delay_ms = 0;
    int corrupt_header_every = 0;
    int corrupt_payload_every = 0;
    int status_replies = 0;
    std::vector<int> error_reply;
    std::vector<sim_fail_code> fail_code;
    int fail_times = 0;  // 0: the failing codes fail every time
    int close_after = 0;
    bool split = false;
    // One line per request and event on standard error.
    bool log = false;
};

constexpr int SIM_PARSE_OK = 0;
constexpr int SIM_PARSE_HELP = 1;
constexpr int SIM_PARSE_ERROR = -1;

// Reads the command line (argv[0] is the program). On an error `error` says what was wrong.
int sim_parse_options(int argc, char** argv, sim_options* opt, std::string* error);

// The --help text.
void sim_print_usage(FILE* out);
