// The service record: one JSON Lines record per instrument and run, appended as one synced
// write to a file kept as every file nv-service writes; and `history`, which reads it back.
#pragma once

#include <string>

#include "svc_json.h"
#include "svc_options.h"
#include "svc_run.h"

// The record of one instrument's servicing.
json_value svc_record(const svc_result& r, const svc_container* container);

// The record file of a run: --record FILE, or the default place (its folders made). The
// descriptor, or -1 with `error`; `path` tells which file.
int svc_record_open(const svc_options& o, std::string* path, std::string* error);
// Appends one record as one line. False with `error`.
bool svc_record_append(int fd, const json_value& record, std::string* error);

// `nv-service history`: prints the records (of o.history_serial only, when given), one line
// each, or with --json the records themselves. Its exit code: SVC_OK, SVC_NOT_FOUND when no
// record matched, SVC_FILE when the record cannot be read.
int svc_history(const svc_options& o);
