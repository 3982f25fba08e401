// Finding instruments (USB listing, serial ports, network discovery, Bluetooth inquiry) and
// turning a DEVICE text into the connection string that reaches it.
#pragma once

#include <string>
#include <vector>

#include "svc_options.h"

// Something `list` found.
struct svc_found {
    std::string kind;         // "usb", "serial", "net", "bluetooth"
    std::string device;       // the DEVICE text that reaches it
    std::string conn;         // its connection string; "" when it cannot be reached from here
    std::string serial;       // "" when not known without a link
    std::string name;         // what it calls itself, or what the system calls the port
    std::string note;         // why it cannot be reached, when `conn` is ""
    bool instrument = false;  // known to be an NV-52 (not just a port that may hold one)
};

// Everything reachable now: USB instruments, serial ports, instruments that answer network
// discovery (asked at o.discover for o.discover_ms), Bluetooth devices where a controller is up.
std::vector<svc_found> svc_find(const svc_options& o);

// An instrument to service: the DEVICE text as given and its connection string.
struct svc_target {
    std::string device;
    std::string conn;
};

// Lazily looked-up findings, shared by the DEVICE texts of one run.
struct svc_finder {
    const svc_options* options;
    bool done = false;
    std::vector<svc_found> found;
    const std::vector<svc_found>& all();
};

// The connection string of `device` (see the DEVICE forms in svc_print_usage). SVC_OK,
// SVC_USAGE (a malformed DEVICE) or SVC_NOT_FOUND (a USB place or serial number found nowhere),
// with `error` in words.
int svc_resolve(const std::string& device, svc_finder* finder, svc_target* out, std::string* error);
// The targets of --all: every instrument found (its serial matching o.serial_glob when given),
// each once. SVC_NOT_FOUND when there is none.
int svc_resolve_all(svc_finder* finder, std::vector<svc_target>* out, std::string* error);

// Whether `text` matches the shell pattern `glob` (* any run, ? one character).
bool svc_glob(const std::string& glob, const std::string& text);
