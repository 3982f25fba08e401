// nv-service: services a bench of NV-52 instruments from one command.
//
//   nv-service list [--json]                         what is reachable now
//   nv-service [-d DEVICE]... [--all] ... ACTION...  every instrument on its own link at once
//   nv-service history [--record FILE] [SERIAL]      what was done before
//
// The run: the container (if any) is read and checked, every DEVICE resolved and its link
// started before any work, so that a wrong command line, a DEVICE that names nothing or a bad
// container stops it before anything is sent. Then each instrument is serviced on a thread of
// its own; each one's record is appended as it finishes; a summary table ends the run, and the
// exit code is the worst of the instruments'.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "libcomm.h"
#include "nv_version.h"
#include "qxx_comm.h"
#include "svc_devices.h"
#include "svc_options.h"
#include "svc_output.h"
#include "svc_record.h"
#include "svc_run.h"
#include "svc_sys.h"
#include "sysfile.h"

namespace {

int list(const svc_options& o) {
    const std::vector<svc_found> found = svc_find(o);
    for (const svc_found& f : found) {
        if (o.json) {
            json_value v = json_value::make_object();
            v.set("kind", f.kind);
            v.set("device", f.device);
            v.set("serial", f.serial);
            v.set("name", f.name);
            v.set("instrument", f.instrument);
            v.set("reachable", !f.conn.empty());
            if (!f.note.empty()) v.set("note", f.note);
            svc_data(json_write(v));
            continue;
        }
        std::string line = f.kind + "  " + f.device;
        if (!f.serial.empty()) line += "  serial " + f.serial;
        if (!f.name.empty()) line += "  " + f.name;
        if (!f.note.empty()) line += "  (" + f.note + ")";
        svc_say("", line);
    }
    if (found.empty()) {
        svc_warn("", "no instrument and no serial port found");
        return SVC_NOT_FOUND;
    }
    return SVC_OK;
}

// One row of the summary: DEVICE, SERIAL, the exit code and meaning, each action's result.
void summary(const std::vector<svc_result>& results) {
    struct Row {
        std::string device, serial, result, actions;
    };
    std::vector<Row> rows{{"DEVICE", "SERIAL", "RESULT", "ACTIONS"}};
    for (const svc_result& r : results) {
        Row row{r.target.device, r.serial.empty() ? "-" : r.serial,
                std::to_string(r.exit_code) + " " + svc_exit_text(r.exit_code), ""};
        for (const json_value& a : r.actions.items)
            row.actions +=
                (row.actions.empty() ? "" : ", ") + a.text("action") + " " + a.text("result");
        if (row.actions.empty()) row.actions = "-";
        rows.push_back(row);
    }
    size_t w[3] = {0, 0, 0};
    for (const Row& r : rows) {
        w[0] = std::max(w[0], r.device.size());
        w[1] = std::max(w[1], r.serial.size());
        w[2] = std::max(w[2], r.result.size());
    }
    for (const Row& r : rows) {
        std::string line = r.device + std::string(w[0] - r.device.size() + 2, ' ') + r.serial +
                           std::string(w[1] - r.serial.size() + 2, ' ') + r.result +
                           std::string(w[2] - r.result.size() + 2, ' ') + r.actions;
        svc_say("", line);
    }
}

int run(const svc_options& o) {
    // The container first: a bad one stops the run before any link is made.
    std::unique_ptr<svc_container> container;
    for (const svc_action& a : o.actions) {
        if (a.kind != svc_action_kind::flash) continue;
        container = std::make_unique<svc_container>();
        std::string error;
        if (svc_load_container(a.file, container.get(), &error) != SVC_OK) {
            svc_warn("", error + ": nothing was sent");
            return SVC_FILE;
        }
    }
    svc_finder finder{&o, false, {}};
    std::vector<svc_target> targets;
    std::string error;
    for (const std::string& d : o.devices) {
        svc_target t;
        if (const int got = svc_resolve(d, &finder, &t, &error); got != SVC_OK) {
            svc_warn("", error);
            return got;
        }
        targets.push_back(t);
    }
    if (o.all) {
        if (const int got = svc_resolve_all(&finder, &targets, &error); got != SVC_OK) {
            svc_warn("", error);
            return got;
        }
    }
    if (targets.size() > static_cast<size_t>(SVC_MAX_INSTRUMENTS)) {
        svc_warn("", "at most " + std::to_string(SVC_MAX_INSTRUMENTS) + " instruments a run");
        return SVC_USAGE;
    }
    // One instrument named twice would be serviced twice at once.
    for (size_t k = 0; k < targets.size(); ++k)
        for (size_t j = 0; j < k; ++j)
            if (targets[j].conn == targets[k].conn) {
                svc_warn("", "'" + targets[j].device + "' and '" + targets[k].device +
                                 "' name the same instrument: give it once");
                return SVC_USAGE;
            }
    // Every link is started before any work, those given as connection strings first: one that
    // is refused as malformed stops the run with nothing sent to any instrument.
    std::vector<size_t> order(targets.size());
    for (size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_partition(order.begin(), order.end(),
                          [&](size_t k) { return targets[k].conn == targets[k].device; });
    for (size_t n = 0; n < order.size(); ++n) {
        const size_t k = order[n];
        if (svc_start_link(static_cast<int>(k), targets[k].conn)) continue;
        svc_warn("", "'" + targets[k].device + "' is a malformed connection string or one of no " +
                         "known form");
        for (size_t j = 0; j < n; ++j) svc_drop_link(static_cast<int>(order[j]));
        return SVC_USAGE;
    }

    std::string record_path;
    const int record = svc_record_open(o, &record_path, &error);
    if (record < 0)
        svc_warn("", "the service record " + record_path + " cannot be written (" + error +
                         "): the results are shown here only");
    std::mutex record_lock;
    std::vector<svc_result> results(targets.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < targets.size(); ++k) {
        threads.emplace_back([&, k] {
            svc_result& r = results[k];
            r.target = targets[k];
            svc_service(o, container.get(), static_cast<int>(k), &r);
            const json_value rec = svc_record(r, container.get());
            std::lock_guard<std::mutex> guard(record_lock);
            std::string why;
            if (record < 0 || !svc_record_append(record, rec, &why)) {
                if (record >= 0)
                    svc_warn(r.who(),
                             "its record could not be written to " + record_path + ": " + why);
                if (r.exit_code == SVC_OK) r.exit_code = SVC_UNRECORDED;
            }
            if (o.json) svc_data(json_write(svc_record(r, container.get())));
        });
    }
    for (std::thread& t : threads) t.join();
    svc_close(record);
    if (!o.json) summary(results);
    int worst = SVC_OK;
    for (const svc_result& r : results) worst = std::max(worst, r.exit_code);
    return worst;
}

int service(int argc, char** argv) {
    svc_options o;
    std::string error;
    if (svc_parse(argc, argv, &o, &error) != SVC_OK) {
        std::fprintf(stderr, "nv-service: %s\nTry 'nv-service --help'.\n", error.c_str());
        return SVC_USAGE;
    }
    if (o.command == svc_command::help) {
        svc_print_usage(stdout);
        return SVC_OK;
    }
    if (o.command == svc_command::version) {
        std::printf("nv-service %s\n", NV_VERSION);
        return SVC_OK;
    }
    if (!svc_out_start(o.json, o.command == svc_command::run ? o.log : "", &error)) {
        std::fprintf(stderr, "nv-service: cannot write the log %s: %s\n", o.log.c_str(),
                     error.c_str());
        return SVC_FILE;
    }
    int code = SVC_OK;
    if (o.command == svc_command::history) {
        code = svc_history(o);
    } else {
        // The library's own notes (a refused USB device, a serial port's group) name the cause.
        comm_usb_set_access_advice(SYS_USB_ACCESS_ADVICE);
        log_seterror(0, 1, 0, 0, "");
        if (QXX_init(nullptr, nullptr, nullptr) != 0) {
            svc_warn("", "the communication library could not start");
            svc_out_stop();
            return SVC_NOT_FOUND;
        }
        code = o.command == svc_command::list ? list(o) : run(o);
        QXX_shut();
    }
    svc_out_stop();
    return code;
}

// What was printed must have reached standard output: results that a full disk swallowed are a
// file error, never a success.
int finish(int code) {
    errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return code;
    std::fprintf(stderr, "nv-service: standard output: %s\n",
                 errno != 0 ? std::strerror(errno) : "write error");
    return std::max(code, static_cast<int>(SVC_FILE));
}

}  // namespace

int main(int argc, char** argv) {
    sys_start(&argc, &argv);
    return finish(service(argc, argv));
}
