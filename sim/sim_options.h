// The simulator's command line: every setting of the instrument model, the server and the
// injected faults. Counters of the faults ("every Nth reply", "N frames") start afresh with
// every link.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

constexpr int SIM_MAX_INSTRUMENTS = 64;

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
    // How many instruments: instrument k (from 0) listens on port + k (a free port each with
    // port 0), its serial number is `serial` with its trailing number raised by k.
    int instruments = 1;
    // The instrument.
    std::string serial = "C0001234";
    bool refuse_identify = false;
    int usb_mode = 0;
    int erase_ms = 20;
    int event_ms = 500;
    bool events = false;
    bool hostile_texts = false;  // versions and serial carry terminal controls and broken UTF-8
    int noise_seed = -1;         // -1: spectra without counting noise
    // How long the instrument takes: to write a block of the external flash, to program its
    // firmware on a flash request, and to start again after a restart, a power off or a flash
    // (off meanwhile: links are closed at once, discovery goes unanswered).
    int block_ms = 0;
    int flash_ms = 0;
    int boot_ms = 0;
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
    sim_fail_code close_at{0, 0};  // the link closes at the Nth request of a code (status: N)
    int close_links = 0;           // --close-at on the first N links only; 0: on every link
    bool never_back = false;       // after a flash the instrument stays off
    bool keep_version = false;     // after a flash it still runs the old version
    bool split = false;
    // The instruments (1 = the first) the faults apply to; empty: every instrument.
    std::vector<int> fault_on;
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

// The options of instrument `index` (from 0) of a bench: its serial number, and the faults only
// where --fault-on names it (or names none).
sim_options sim_instrument_options(const sim_options& opt, int index);
