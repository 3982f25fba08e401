// The service record and history: see svc_record.h.
#include "svc_record.h"

#include <cerrno>
#include <cstring>
#include <sstream>

#include "nv_version.h"
#include "safe_file.h"
#include "svc_output.h"
#include "svc_sys.h"
#include "xfw.h"

namespace {

constexpr const char* TOOL = "nv-service " NV_VERSION;

// The record's lines in the order they were written; a line that is no record is counted.
struct Lines {
    std::vector<json_value> records;
    int damaged = 0;
};

Lines read_records(const std::string& text) {
    Lines out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty()) continue;
        json_value v;
        if (json_read(line, &v) && v.kind == json_value::object)
            out.records.push_back(std::move(v));
        else
            ++out.damaged;
    }
    return out;
}

// One line of history: "TIME SERIAL DEVICE: ACTION result, ... -> EXIT (meaning) by OPERATOR@HOST".
std::string history_line(const json_value& r) {
    std::string actions;
    if (const json_value* a = r.get("actions"); a != nullptr && a->kind == json_value::array) {
        for (const json_value& step : a->items) {
            if (!actions.empty()) actions += ", ";
            actions += step.text("action") + " " + step.text("result");
            if (step.text("action") == "flash") {
                const json_value* verified = step.get("verified");
                actions += " (" + step.text("version") +
                           (verified && verified->b ? ", verified" : "") + ")";
            }
        }
    }
    const json_value* code = r.get("exit_code");
    const int exit_code = code && code->kind == json_value::number ? static_cast<int>(code->n) : -1;
    std::string line = r.text("time") + "  " + (r.text("serial").empty() ? "-" : r.text("serial")) +
                       "  " + r.text("device") + ": " + (actions.empty() ? "-" : actions) + " -> " +
                       std::to_string(exit_code) + " (" + svc_exit_text(exit_code) + ")";
    if (!r.text("reason").empty()) line += ": " + r.text("reason");
    return line + " by " + r.text("operator") + "@" + r.text("host");
}

}  // namespace

json_value svc_record(const svc_result& r, const svc_container* c) {
    json_value v = json_value::make_object();
    v.set("time", svc_utc_text(r.started_ms, false));
    v.set("tool", TOOL);
    v.set("host", svc_host_name());
    v.set("operator", svc_user_name());
    v.set("device", r.target.device);
    v.set("connection", r.target.conn);
    v.set("model", r.model);
    v.set("serial", r.serial);
    v.set("versions_before", r.versions_before);
    v.set("versions_after", r.versions_after);
    v.set("actions", r.actions);
    if (c != nullptr) {
        json_value box = json_value::make_object();
        box.set("name", c->path);
        char version[16];
        snprintf(version, sizeof version, "%d.%d", c->major, c->minor);
        box.set("version", version);
        box.set("sha256", c->sha256);
        box.set("size", static_cast<double>(c->image.header.size));
        v.set("container", box);
    } else {
        v.set("container", json_value{});
    }
    if (r.info.kind != json_value::null) v.set("info", r.info);
    v.set("duration_s", r.seconds);
    v.set("exit_code", r.exit_code);
    v.set("result", svc_exit_text(r.exit_code));
    if (!r.reason.empty()) v.set("reason", r.reason);
    return v;
}

int svc_record_open(const svc_options& o, std::string* path, std::string* error) {
    *path = o.record.empty() ? svc_default_record() : o.record;
    if (path->empty()) {
        *error = "there is no place for it (neither XDG_STATE_HOME nor HOME is set)";
        return -1;
    }
    // The default place is the program's own: its folders are made. A FILE given is not.
    if (o.record.empty() && !svc_make_folders(*path)) {
        *error = std::string(strerror(errno));
        return -1;
    }
    const int fd = safe_file_append(path->c_str());
    if (fd < 0)
        *error = errno == EACCES ? "permission denied (or a link not to be followed)"
                                 : std::string(strerror(errno));
    return fd;
}

bool svc_record_append(int fd, const json_value& record, std::string* error) {
    if (svc_append(fd, json_write(record) + "\n")) return true;
    *error = strerror(errno);
    return false;
}

int svc_history(const svc_options& o) {
    const std::string path = o.record.empty() ? svc_default_record() : o.record;
    xfw_file file;
    errno = 0;  // a file that opens but is no regular file leaves none of its own
    if (path.empty() || !xfw_open(path.c_str(), &file)) {
        svc_warn("", "cannot read the service record " + path + ": " +
                         (errno ? strerror(errno) : "not a regular file"));
        return SVC_FILE;
    }
    std::string text;
    char piece[65536];
    for (size_t n; (n = fread(piece, 1, sizeof piece, file.f.get())) > 0;) text.append(piece, n);
    const Lines lines = read_records(text);
    int shown = 0;
    for (const json_value& r : lines.records) {
        if (!o.history_serial.empty() && r.text("serial") != o.history_serial) continue;
        ++shown;
        if (o.json)
            svc_data(json_write(r));
        else
            svc_say("", history_line(r));
    }
    if (lines.damaged > 0)
        svc_warn("", std::to_string(lines.damaged) + " line(s) of " + path +
                         " are no records and were skipped");
    if (shown == 0) {
        svc_warn("", o.history_serial.empty() ? "no record in " + path
                                              : "no record of " + o.history_serial + " in " + path);
        return SVC_NOT_FOUND;
    }
    return SVC_OK;
}
