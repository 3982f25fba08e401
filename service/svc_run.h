// Servicing one instrument: its link (made again after a drop or a restart), its actions in
// order up to the first failure, and what each did. Every instrument of a run is serviced on a
// thread of its own; the container is read once and shared by all of them.
#pragma once

#include <cstdint>
#include <string>

#include "svc_devices.h"
#include "svc_json.h"
#include "svc_options.h"
#include "xfw.h"

constexpr int SVC_MAX_INSTRUMENTS = 256;

// A firmware container read and checked before anything is sent.
struct svc_container {
    std::string path;
    xfw_image image;
    std::string sha256;  // of the file as it stands
    int major = 0, minor = 0;
};
// Reads `path` and checks that it is a container for the NV-52 with both checksums right.
// SVC_OK, or SVC_FILE with `error` in words.
int svc_load_container(const std::string& path, svc_container* out, std::string* error);

// What servicing one instrument came to.
struct svc_result {
    svc_target target;
    std::string serial, model;  // as the instrument told them ("" when it never did)
    int64_t started_ms = 0;     // UTC, ms since the epoch
    double seconds = 0;
    json_value versions_before, versions_after;  // null when never read
    json_value actions = json_value::make_array();
    json_value info;  // what the info action found (null without it)
    int exit_code = SVC_OK;
    std::string reason;  // the failure in words
    // The name its lines carry: the serial number once known, else the DEVICE text.
    std::string who() const { return serial.empty() ? target.device : serial; }
};

// Starts the link to instrument `index` (0 .. SVC_MAX_INSTRUMENTS-1) without waiting for it.
// False when the connection string is refused at once (malformed, of no known form).
bool svc_start_link(int index, const std::string& conn);
// Closes it again (a run that stops before its work).
void svc_drop_link(int index);
// Services instrument `index`, whose link svc_start_link started.
void svc_service(const svc_options& o, const svc_container* container, int index, svc_result* r);

// The running firmware's major and minor version read off a version text ("NV52-2.15.0":
// 2 and 15): the first "N.N" in it. False when it has none.
bool svc_version_numbers(const std::string& text, int* major, int* minor);
// Seconds from 1970-01-01 00:00:00 to this date and time of the (proleptic Gregorian) calendar,
// as if both were UTC: the difference of two local times without asking for the time zone.
int64_t svc_calendar_seconds(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                             int64_t second);
// Why the instrument refused, in words, from the status byte of its answer.
std::string svc_refusal_text(int status, int kind);
