// nv-service's command line, its exit codes and its actions.
//
//   nv-service list [--json] [--discover ADDR[:PORT]] [--discover-ms MS]
//   nv-service [-d DEVICE]... [--all [--serial GLOB]] [OPTION]... ACTION...
//   nv-service history [--record FILE] [--json] [SERIAL]
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Exit codes, from the best to the worst: a run returns the worst of its instruments'.
enum svc_exit : int {
    SVC_OK = 0,
    SVC_UNRECORDED = 1,    // every action succeeded, but the service record could not be written
    SVC_USAGE = 2,         // a wrong command line or DEVICE: nothing was done
    SVC_NOT_FOUND = 3,     // no such instrument, or it could not be reached
    SVC_REFUSED = 4,       // the instrument refused a request
    SVC_NO_REPLY = 5,      // the instrument did not answer in time
    SVC_LINK_LOST = 6,     // the link dropped and could not be made again (retries spent)
    SVC_NOT_BACK = 7,      // the instrument did not come back after a restart within the wait
    SVC_NOT_VERIFIED = 8,  // it came back from a flash with another version than the container's
    SVC_FILE = 9,          // a file could not be read or written (container, spectrum, folder)
};

enum class svc_command { run, list, history, help, version };

enum class svc_action_kind { info, time_sync, flash, usb_mode, assay, stabilise, power_off };

struct svc_action {
    svc_action_kind kind;
    std::string file;  // flash: the container; assay, stabilise: the folder for spectra
    int seconds = 0;   // assay
};

struct svc_options {
    svc_command command = svc_command::run;
    std::vector<std::string> devices;  // -d, in order
    bool all = false;
    std::string serial_glob;  // --all --serial: only the instruments whose serial matches
    bool json = false;
    std::string record;  // "" : the default place
    std::string log;
    int retries = 2;
    int back_wait_s = 120;  // bounded wait for an instrument to come back after a restart
    int stabilise_s = 120;  // the longest a stabilisation may run
    std::string discover = "255.255.255.255";
    int discover_port = 4455;
    int discover_ms = 3000;
    std::vector<svc_action> actions;
    std::string history_serial;
};

// Reads the command line (argv[0] is the program). SVC_OK, or SVC_USAGE with `error` saying what
// was wrong.
int svc_parse(int argc, char** argv, svc_options* out, std::string* error);
void svc_print_usage(FILE* out);
// The action's name as typed ("time-sync").
const char* svc_action_name(svc_action_kind kind);
// The exit code's meaning in a few words ("not found or not reachable").
const char* svc_exit_text(int code);
