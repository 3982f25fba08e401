// Servicing one instrument: see svc_run.h.
//
// Threads. Each instrument's actions run on a thread of its own and block in the request units'
// transactions. The link's callbacks and event handlers run on the library's I/O thread; they
// only note what happened in the instrument's `Link` record (under its lock) and wake the
// thread waiting on it. A link's `user` value carries the instrument's index and the number of
// the link made for it, so that a late event of an earlier link is told from the current one's.
#include "svc_run.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <regex>
#include <thread>
#include <vector>

#include "q5_comm.h"
#include "q8_comm.h"
#include "q8_spectrum.h"
#include "q8_usb_mode.h"
#include "qxx_comm.h"
#include "safe_text.h"
#include "svc_output.h"
#include "svc_sha256.h"
#include "svc_sys.h"

namespace {

using run_clock = std::chrono::steady_clock;

constexpr int IDENTIFY_MS = 10000;       // the longest a new link may take to identify its device
constexpr int RECONNECT_PAUSE_MS = 500;  // between attempts to reach a restarting instrument
constexpr int EVENT_WAIT_MS = 5000;      // for the events that end an accumulation
constexpr int SPECTRUM_NAMES = 100;      // DIR/SERIAL-TIME-N.spc tried before giving up
constexpr int SERIAL_ATTEMPTS = 3;       // serial-number requests without a reply in time
constexpr int NO_REPLY = 255;            // a request's result: no reply in time
constexpr int STABILISED_PERCENT = 99;   // a stabilisation's progress when it has measured enough
constexpr int HASH_PIECE = 1 << 20;
constexpr const char* VERSION_KEYS[Q8_VERSION_FIELDS] = {"overall", "file_system", "gui",
                                                         "talvek",  "gpp",         "kernel"};
// The status record's fields that info reports (q8_status, little-endian).
constexpr int ST_ALARM = 52;        // i32
constexpr int ST_STABILISED = 56;   // i32, 1 when stabilised
constexpr int ST_CHARGER = 98;      // u32 flags; bit 1: charging
constexpr int ST_VOLTAGE = 102;     // f32, mV
constexpr int ST_GAUGE = 106;       // f32, %
constexpr int ST_SATELLITES = 194;  // i32
constexpr uint32_t CHARGING = 2;

// What the I/O thread noted about an instrument's current link.
struct Link {
    std::mutex lock;
    std::condition_variable changed;
    int generation = 0;  // of the link made last
    int handle = -1;
    bool failed = false, closed = false;
    int type_id = 0;
    // Events of the accumulation running now.
    int spectra = 0;
    q8_spectrum spectrum{};
    int percent = -1, state = -1;
    bool cs_done = false;
    int cs_result = 0;

    void reset_link() {
        failed = closed = false;
        type_id = 0;
    }
    void reset_events() {
        spectra = 0;
        percent = state = -1;
        cs_done = false;
    }
};

std::array<Link, SVC_MAX_INSTRUMENTS> links;

// The serial numbers of this run's instruments, each with the DEVICE that reached it first: two
// DEVICEs of one instrument (its USB place and its address) would otherwise service it twice at
// once, two uploads interleaved into one flash.
struct Claims {
    std::mutex lock;
    std::vector<std::pair<std::string, std::string>> taken;  // (serial, device)
};
Claims claims;

// True when `serial` is this device's to service; false with the DEVICE that has it.
bool claim(const std::string& serial, const std::string& device, std::string* holder) {
    std::lock_guard<std::mutex> guard(claims.lock);
    for (const auto& [s, d] : claims.taken)
        if (s == serial) {
            *holder = d;
            return false;
        }
    claims.taken.emplace_back(serial, device);
    return true;
}

// A link's `user` value: the index and the link's generation.
int user_of(int index, int generation) {
    return index + SVC_MAX_INSTRUMENTS * generation;
}
// The instrument's record when `user` names its current link, else null (an earlier link).
Link* current(int user, std::unique_lock<std::mutex>* held) {
    const int index = user % SVC_MAX_INSTRUMENTS;
    if (index < 0) return nullptr;
    Link& l = links[index];
    *held = std::unique_lock<std::mutex>(l.lock);
    return l.generation == user / SVC_MAX_INSTRUMENTS ? &l : nullptr;
}

int on_spectrum(int, void*, const unsigned char* frame, int user) {
    q8_spectrum sp;
    if (Q8_read_spectrum(frame, &sp) != Q8_SPECTRUM_FULL) return 0;
    std::unique_lock<std::mutex> held;
    if (Link* l = current(user, &held)) {
        l->spectrum = sp;
        l->spectra++;
        l->changed.notify_all();
    }
    return 0;
}

int on_progress(int, void*, const unsigned char* frame, int user) {
    if (qxx_frame_payload_size(frame) < 12) return 0;
    std::unique_lock<std::mutex> held;
    if (Link* l = current(user, &held)) {
        l->percent = get_i32le(frame + QXX_OFF_PAYLOAD + 4);
        l->state = get_i32le(frame + QXX_OFF_PAYLOAD + 8);
        l->changed.notify_all();
    }
    return 0;
}

// The stabilisation result is the i32 at data offset 4.
int on_cs_result(int, void*, const unsigned char* frame, int user) {
    if (qxx_frame_payload_size(frame) < 8) return 0;
    std::unique_lock<std::mutex> held;
    if (Link* l = current(user, &held)) {
        l->cs_result = get_i32le(frame + QXX_OFF_PAYLOAD + 4);
        l->cs_done = true;
        l->changed.notify_all();
    }
    return 0;
}

int on_connected(int handle, void*, int type_id, int user) {
    QXX_hook_async_event(handle, 10002, on_spectrum);
    QXX_hook_async_event(handle, 10012, on_progress);
    QXX_hook_async_event(handle, 10015, on_cs_result);
    std::unique_lock<std::mutex> held;
    if (Link* l = current(user, &held)) {
        l->type_id = type_id;
        l->changed.notify_all();
    }
    return 0;
}

int on_error(int, void*, int user) {
    std::unique_lock<std::mutex> held;
    if (Link* l = current(user, &held)) l->failed = true;
    return 0;
}

int on_closed(int, void*, int user) {
    std::unique_lock<std::mutex> held;
    if (Link* l = current(user, &held)) {
        l->closed = true;
        l->changed.notify_all();
    }
    return 0;
}

double seconds_since(run_clock::time_point t0) {
    return std::chrono::duration<double>(run_clock::now() - t0).count();
}

// ---- one instrument's work ---------------------------------------------------------------------

struct Work {
    const svc_options& o;
    const svc_container* container;
    int index;
    svc_result* r;
    Link& link;
    int handle = -1;

    std::string who() const { return r->who(); }
    void say(const std::string& text) const { svc_say(who(), text); }

    // A step of the record: the action with its result, duration and what else it tells.
    struct Step {
        json_value v = json_value::make_object();
        run_clock::time_point t0 = run_clock::now();
        int code = SVC_OK;
        std::string reason;
    };

    // Ends a step: records it and, when it failed, the instrument's result and a line on
    // standard error. Returns whether it succeeded.
    bool finish(Step& st, const std::string& action) {
        st.v.set("result", st.code == SVC_OK ? "ok" : "failed");
        st.v.set("exit_code", st.code);
        if (st.code != SVC_OK) st.v.set("reason", st.reason);
        st.v.set("duration_s", std::round(seconds_since(st.t0) * 1000) / 1000);
        json_value named = json_value::make_object();
        named.set("action", action);
        for (auto& m : st.v.members) named.set(m.first, m.second);
        r->actions.items.push_back(named);
        if (st.code != SVC_OK) fail(st.code, action + ": " + st.reason);
        return st.code == SVC_OK;
    }

    void fail(int code, const std::string& reason) {
        r->exit_code = code;
        r->reason = reason;
        svc_warn(who(), reason);
    }

    // A request's result as the step's outcome: true for 0; otherwise the step's code and why.
    bool ok(Step& st, int result, const char* what) {
        if (result == 0) return true;
        int status = -1, kind = 0;
        QXX_last_answer(&status, &kind);
        if (result == 1) {
            st.code = SVC_REFUSED;
            st.reason = std::string("the instrument refused ") + what + ": " +
                        svc_refusal_text(status, kind);
        } else if (result == NO_REPLY) {
            st.code = SVC_NO_REPLY;
            st.reason = std::string("no reply to ") + what + " in time";
        } else {
            st.code = SVC_LINK_LOST;
            st.reason = std::string("the link was lost during ") + what;
        }
        return false;
    }

    bool dropped() {
        {
            std::lock_guard<std::mutex> guard(link.lock);
            if (link.closed) return true;
        }
        return QXX_get_conn_state_id(handle) != COMM_STATE_CONNECTED;
    }

    void close_link() {
        if (handle >= 0) QXX_disconnect(handle);
        handle = -1;
    }

    // Waits for the link just started to identify its device: SVC_OK, or SVC_NOT_FOUND with why.
    int identify(int wait_ms, std::string* reason) {
        const bool up = QXX_wait_connected(handle, wait_ms) == 0 &&
                        QXX_get_conn_state_id(handle) == COMM_STATE_CONNECTED;
        std::lock_guard<std::mutex> guard(link.lock);
        if (up && link.type_id == Q8_DEV_TYPE) return SVC_OK;
        if (up)
            *reason = "the device is no NV-52 (device type " + std::to_string(link.type_id) + ")";
        else if (link.failed)
            *reason = "the connection failed";
        else if (link.closed)
            *reason = "the link closed before the instrument answered";
        else if (up || QXX_get_conn_state_id(handle) != COMM_STATE_NONE)
            *reason = "no NV-52 answered the identification";
        else
            *reason = "no NV-52 answered within " + std::to_string(wait_ms / 1000) + " s";
        return SVC_NOT_FOUND;
    }

    // Makes a new link and waits for it: SVC_OK or SVC_NOT_FOUND with why.
    int reconnect(int wait_ms, std::string* reason) {
        close_link();
        int generation;
        {
            std::lock_guard<std::mutex> guard(link.lock);
            link.reset_link();
            generation = ++link.generation;
        }
        int h = -1;
        if (QXX_connect(r->target.conn.c_str(), &h, on_connected, on_error, on_closed, Q8_probe,
                        Q8_test_probe, user_of(index, generation)) != 0) {
            *reason = "the connection string was refused";
            return SVC_NOT_FOUND;
        }
        handle = h;
        const int got = identify(wait_ms, reason);
        if (got != SVC_OK) close_link();
        return got;
    }

    // Reconnects to an instrument that restarts, until it answers or the wait is over.
    int wait_back(run_clock::time_point deadline, std::string* reason) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - run_clock::now())
                    .count();
            if (left <= 0) break;
            const auto tried = run_clock::now();
            if (reconnect(static_cast<int>(std::min<int64_t>(left, IDENTIFY_MS)), reason) == SVC_OK)
                return SVC_OK;
            // A refused connection fails at once: the next try after a pause, not in a spin.
            const auto pause = tried + std::chrono::milliseconds(RECONNECT_PAUSE_MS);
            std::this_thread::sleep_until(std::min(pause, deadline));
        }
        *reason = "did not come back within " + std::to_string(o.back_wait_s) + " s";
        return SVC_NOT_BACK;
    }

    // The versions record as an object of six texts; false (and the step's outcome) on failure.
    bool versions(Step& st, json_value* out) {
        unsigned char record[Q8_VERSIONS_SIZE] = {};
        if (!ok(st, Q8_get_versions(handle, record, 1), "the versions request")) return false;
        *out = json_value::make_object();
        for (int i = 0; i < Q8_VERSION_FIELDS; ++i)
            out->set(VERSION_KEYS[i],
                     device_text(reinterpret_cast<const char*>(record + i * Q8_VERSION_FIELD),
                                 Q8_VERSION_FIELD));
        return true;
    }

    // ---- the actions ----

    bool info() {
        Step st;
        unsigned char status[Q8_STATUS_SIZE] = {};
        q5_time clock{};
        if (ok(st, Q8_get_status(handle, status, 1), "the status request") &&
            ok(st, Q5_get_time(handle, &clock, 1), "the clock request")) {
            json_value v = json_value::make_object();
            v.set("model", r->model);
            v.set("serial", r->serial);
            v.set("versions", r->versions_before);
            json_value s = json_value::make_object();
            const float gauge = get_f32le(status + ST_GAUGE);
            const float volts = get_f32le(status + ST_VOLTAGE);
            const bool charging = (get_u32le(status + ST_CHARGER) & CHARGING) != 0;
            const bool stabilised = get_i32le(status + ST_STABILISED) == 1;
            const int alarm = get_i32le(status + ST_ALARM);
            s.set("battery_percent", std::round(gauge * 10) / 10);
            s.set("battery_mv", std::round(volts));
            s.set("charging", charging);
            s.set("stabilised", stabilised);
            s.set("alarm", alarm);
            s.set("gps_satellites", get_i32le(status + ST_SATELLITES));
            v.set("status", s);
            char text[64];
            snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", clock.year, clock.month,
                     clock.day, clock.hour, clock.minute, clock.second);
            v.set("clock", text);
            const int64_t offset = clock_offset(clock);
            v.set("clock_offset_s", static_cast<double>(offset));
            r->info = v;
            const json_value& ver = r->versions_before;
            say(r->model + ", serial " + r->serial);
            say("versions: overall " + ver.text("overall") + ", file system " +
                ver.text("file_system") + ", gui " + ver.text("gui") + ", talvek " +
                ver.text("talvek") + ", gpp " + ver.text("gpp") + ", kernel " + ver.text("kernel"));
            snprintf(text, sizeof text, "battery %.1f %% (%.0f mV)%s, %s, alarm %d",
                     static_cast<double>(gauge), static_cast<double>(volts),
                     charging ? ", charging" : "", stabilised ? "stabilised" : "not stabilised",
                     alarm);
            say(std::string("status: ") + text);
            say("clock " + v.text("clock").replace(10, 1, " ") + " (" + offset_text(offset) + ")");
        }
        return finish(st, "info");
    }

    // The instrument's clock (its local time) less the PC's local time, in seconds. Both are
    // counted as calendar seconds (mktime would reread the time zone, racing the other
    // instruments' threads).
    static int64_t clock_offset(const q5_time& t) {
        struct tm now {};
        svc_local_now(&now);
        return svc_calendar_seconds(t.year, t.month, t.day, t.hour, t.minute, t.second) -
               svc_calendar_seconds(now.tm_year + 1900, now.tm_mon + 1, now.tm_mday, now.tm_hour,
                                    now.tm_min, now.tm_sec);
    }
    static std::string offset_text(int64_t offset) {
        if (offset == 0) return "as the PC's";
        return std::to_string(offset > 0 ? offset : -offset) + " s " +
               (offset > 0 ? "ahead of" : "behind") + " the PC's";
    }

    bool time_sync() {
        Step st;
        q5_time before{};
        if (ok(st, Q5_get_time(handle, &before, 1), "the clock request")) {
            struct tm now {};
            svc_local_now(&now);
            const q5_time t{now.tm_year + 1900, now.tm_mon + 1, now.tm_mday,
                            now.tm_hour,        now.tm_min,     now.tm_sec};
            const int64_t offset = clock_offset(before);
            if (ok(st, Q5_set_time(handle, &t, 1), "setting the clock")) {
                char text[64];
                snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.year, t.month, t.day,
                         t.hour, t.minute, t.second);
                st.v.set("clock", text);
                st.v.set("offset_before_s", static_cast<double>(offset));
                say(std::string("clock set to ") + text + " (it was " + offset_text(offset) + ")");
            }
        }
        return finish(st, "time-sync");
    }

    struct UploadProgress {
        std::string who;
        uint64_t total;
        run_clock::time_point t0;
        uint64_t sent = 0;
    };
    static void on_upload(void* user, xfw_step step, int block, int blocks, bool done, int result) {
        auto* p = static_cast<UploadProgress*>(user);
        if (step != xfw_step::block || !done || result != 0) return;
        p->sent = block + 1 == blocks ? p->total : uint64_t{XFW_BLOCK} * (block + 1);
        svc_progress(p->who, p->sent, p->total, seconds_since(p->t0));
    }

    bool flash() {
        Step st;
        const svc_container& c = *container;
        st.v.set("file", c.path);
        char version[16];
        snprintf(version, sizeof version, "%d.%d", c.major, c.minor);
        st.v.set("version", version);
        json_value attempts = json_value::make_array();
        // The upload, made again on a new link when the link drops, up to --retries times.
        int upload = -1;
        for (int attempt = 0; attempt <= o.retries && st.code == SVC_OK; ++attempt) {
            json_value a = json_value::make_object();
            a.set("attempt", attempt + 1);
            std::string why;
            if (handle < 0 && reconnect(IDENTIFY_MS, &why) != SVC_OK) {
                st.code = SVC_LINK_LOST;
                st.reason = "the link dropped and could not be made again: " + why;
                a.set("result", "failed");
                a.set("reason", st.reason);
                attempts.items.push_back(a);
                break;
            }
            say(attempt == 0 ? "upload of " + c.path + " (" + version + ")"
                             : "upload again, attempt " + std::to_string(attempt + 1));
            UploadProgress p{who(), c.image.length, run_clock::now()};
            upload = xfw_upload(handle, c.image.data.get(), c.image.length, on_upload, &p);
            svc_progress_end(who());
            a.set("bytes", static_cast<double>(p.sent));
            a.set("duration_s", std::round(seconds_since(p.t0) * 1000) / 1000);
            if (upload == 0) {
                a.set("result", "ok");
                attempts.items.push_back(a);
                break;
            }
            const bool lost = dropped();
            Step failed;
            ok(failed, upload, "the upload");
            a.set("result", "failed");
            a.set("reason", lost ? "the link dropped" : failed.reason);
            attempts.items.push_back(a);
            if (!lost) {
                st.code = failed.code, st.reason = failed.reason;
            } else {
                close_link();
                if (attempt == o.retries) {
                    st.code = SVC_LINK_LOST;
                    st.reason = "the link dropped during each of the " +
                                std::to_string(attempt + 1) + " uploads";
                } else {
                    svc_warn(who(), "the link dropped during the upload");
                }
            }
        }
        st.v.set("attempts", attempts);
        if (st.code == SVC_OK) say("upload done: " + std::to_string(c.image.length) + " bytes");
        // The flash itself: the instrument programs its firmware and restarts.
        const auto flashed = run_clock::now();
        if (st.code == SVC_OK && ok(st, xfw_flash(handle, c.image.header), "the flash request")) {
            say("flashed; waiting for the instrument to come back");
            close_link();
            std::string why;
            const auto deadline = flashed + std::chrono::seconds(o.back_wait_s);
            if ((st.code = wait_back(deadline, &why)) != SVC_OK) {
                st.reason = why;
            } else if (versions(st, &r->versions_after)) {
                const std::string running = r->versions_after.text("overall");
                int major = -1, minor = -1;
                const bool verified = svc_version_numbers(running, &major, &minor) &&
                                      major == c.major && minor == c.minor;
                st.v.set("version_after", running);
                if (verified) {
                    say("verified: runs " + running);
                } else {
                    st.code = SVC_NOT_VERIFIED;
                    st.reason = "runs " + running + ", not the container's " + version;
                }
            }
        }
        st.v.set("verified", st.code == SVC_OK);
        return finish(st, "flash");
    }

    bool usb_mode(bool more_follow) {
        Step st;
        const q8_usb_mode_result u = Q8_switch_usb_mode(handle);
        switch (u.step) {
            case Q8_USB_MODE_ALREADY:
                say("USB mode already switched");
                st.v.set("switched", false);
                break;
            case Q8_USB_MODE_INCOMPLETE:
                st.code = SVC_REFUSED;
                st.reason = "the parameter record came back incomplete (" +
                            std::to_string(u.length) + " of " + std::to_string(Q8_PARAMS_SIZE) +
                            " bytes): nothing was written";
                break;
            case Q8_USB_MODE_GET_FAILED:
                ok(st, u.code, "reading the parameters");
                break;
            case Q8_USB_MODE_SET_FAILED:
                ok(st, u.code, "writing the parameters");
                break;
            case Q8_USB_MODE_RESTART_FAILED:
                ok(st, u.code, "the restart");
                break;
            default:
                say(u.step == Q8_USB_MODE_UNCONFIRMED
                        ? "USB mode switched; the instrument did not confirm its restart"
                        : "USB mode switched; the instrument restarts");
                st.v.set("switched", true);
                close_link();
                if (more_follow) {
                    std::string why;
                    const auto deadline = run_clock::now() + std::chrono::seconds(o.back_wait_s);
                    if ((st.code = wait_back(deadline, &why)) != SVC_OK) st.reason = why;
                }
        }
        return finish(st, "usb-mode");
    }

    // Keeps the last whole spectrum as DIR/SERIAL-TIME.spc, never over another file.
    bool keep_spectrum(Step& st, const std::string& dir, const q8_spectrum& sp) {
        if (!svc_make_folder(dir)) {
            st.code = SVC_FILE;
            st.reason = "cannot make the folder " + dir + ": " + strerror(errno);
            return false;
        }
        const std::string stem = dir + "/" + r->serial + "-" + svc_utc_stamp(svc_now_ms());
        for (int n = 1; n <= SPECTRUM_NAMES; ++n) {
            const std::string path = stem + (n > 1 ? "-" + std::to_string(n) : "") + ".spc";
            if (svc_exists(path)) continue;
            if (!Q8_save_spectrum(path.c_str(), sp.channels, Q8_SPECTRUM_CHANNELS, sp.first,
                                  sp.second, SPECT_EVENT_CLOSING)) {
                if (errno == EEXIST) continue;  // another took the name meanwhile
                st.code = SVC_FILE;
                st.reason = "cannot write " + path + ": " + strerror(errno);
                return false;
            }
            st.v.set("file", path);
            say("spectrum kept as " + path);
            return true;
        }
        st.code = SVC_FILE;
        st.reason = "no free name for the spectrum beside " + stem + ".spc";
        return false;
    }

    // The accumulation's last whole spectrum; false (and the step's outcome) when none came.
    bool last_spectrum(Step& st, q8_spectrum* out) {
        std::lock_guard<std::mutex> guard(link.lock);
        st.v.set("spectra", link.spectra);
        if (link.spectra == 0) {
            st.code = SVC_NO_REPLY;
            st.reason = "no spectrum came from the instrument";
            return false;
        }
        *out = link.spectrum;
        return true;
    }

    bool assay(const svc_action& a) {
        Step st;
        st.v.set("seconds", a.seconds);
        {
            std::lock_guard<std::mutex> guard(link.lock);
            link.reset_events();
        }
        q8_spectrum sp;
        if (ok(st, Q8_start_assay_acc_spectrum(handle, 1), "the assay's start")) {
            say("assay running for " + std::to_string(a.seconds) + " s");
            // The measurement's own duration; a dropped link ends the wait early.
            {
                std::unique_lock<std::mutex> held(link.lock);
                link.changed.wait_for(held, std::chrono::seconds(a.seconds),
                                      [&] { return link.closed; });
            }
            if (ok(st, Q8_stop_assay_acc_spectrum(handle, 1), "the assay's stop") &&
                last_spectrum(st, &sp))
                keep_spectrum(st, a.file, sp);
        }
        return finish(st, "assay");
    }

    bool stabilise(const svc_action& a) {
        Step st;
        {
            std::lock_guard<std::mutex> guard(link.lock);
            link.reset_events();
        }
        q8_spectrum sp;
        if (ok(st, Q8_start_cs_stab_acc_spectrum(handle, 1), "the stabilisation's start")) {
            say("caesium-137 stabilisation running");
            bool measured;
            {
                std::unique_lock<std::mutex> held(link.lock);
                measured = link.changed.wait_for(held, std::chrono::seconds(o.stabilise_s), [&] {
                    return link.closed || link.percent >= STABILISED_PERCENT || link.state == 1;
                });
            }
            if (ok(st, Q8_stop_cs_stab_acc_spectrum(handle, 1), "the stabilisation's stop")) {
                bool result_came;
                int result;
                {
                    std::unique_lock<std::mutex> held(link.lock);
                    result_came =
                        link.changed.wait_for(held, std::chrono::milliseconds(EVENT_WAIT_MS),
                                              [&] { return link.cs_done || link.closed; }) &&
                        link.cs_done;
                    result = link.cs_result;
                }
                if (!result_came) {
                    st.code = SVC_NO_REPLY;
                    st.reason = "no stabilisation result came";
                } else {
                    st.v.set("stabilisation_result", result);
                    if (!measured)
                        say("the stabilisation was stopped at its limit of " +
                            std::to_string(o.stabilise_s) + " s");
                    if (result != 0) {
                        st.code = SVC_REFUSED;
                        st.reason =
                            "the stabilisation failed (result " + std::to_string(result) + ")";
                    } else {
                        say("stabilised");
                    }
                }
                if (st.code == SVC_OK && last_spectrum(st, &sp)) keep_spectrum(st, a.file, sp);
            }
        }
        return finish(st, "stabilise");
    }

    bool power_off() {
        Step st;
        if (ok(st, Q8_power_off(handle, 1), "the power-off request")) {
            say("powered off");
            close_link();
        }
        return finish(st, "power-off");
    }

    void run() {
        r->started_ms = svc_now_ms();
        const auto t0 = run_clock::now();
        std::string why;
        int got = identify(IDENTIFY_MS, &why);
        if (got != SVC_OK) {
            close_link();
            fail(got, "cannot connect: " + why);
        } else {
            r->model = Q8_MODEL;
            char serial[Q5_SERIAL_LEN + 1] = {};
            Step st;
            // The instrument answers the serial-number request within 100 ms. A busy host
            // misses that now and then (eight instruments at once on a loaded machine), so the
            // request is asked twice more before the instrument counts as not answering.
            int asked = NO_REPLY;
            for (int attempt = 0; attempt < SERIAL_ATTEMPTS && asked == NO_REPLY; ++attempt)
                asked = Q5_get_serial(handle, serial, 1);
            if (ok(st, asked, "the serial-number request")) {
                r->serial = device_text(serial, Q5_SERIAL_LEN);
                // A serial number that would make no file name is shown, not used as one.
                if (r->serial.find_first_of("/\\") != std::string::npos || r->serial.empty())
                    r->serial = "unnamed";
                svc_say(r->target.device, "connected: " + r->model + ", serial " + r->serial);
            }
            std::string holder;
            if (st.code == SVC_OK && r->serial != "unnamed" &&
                !claim(r->serial, r->target.device, &holder)) {
                st.code = SVC_USAGE;
                st.reason = "it is addressed as " + holder + " too: serviced there only";
            }
            if (st.code == SVC_OK) versions(st, &r->versions_before);
            if (st.code != SVC_OK) {
                fail(st.code, st.reason);
            } else {
                for (size_t k = 0; k < o.actions.size(); ++k) {
                    const svc_action& a = o.actions[k];
                    bool done = false;
                    if (handle < 0) {
                        fail(SVC_LINK_LOST, std::string(svc_action_name(a.kind)) +
                                                ": the instrument is not linked");
                        break;
                    }
                    switch (a.kind) {
                        case svc_action_kind::info:
                            done = info();
                            break;
                        case svc_action_kind::time_sync:
                            done = time_sync();
                            break;
                        case svc_action_kind::flash:
                            done = flash();
                            break;
                        case svc_action_kind::usb_mode:
                            done = usb_mode(k + 1 < o.actions.size());
                            break;
                        case svc_action_kind::assay:
                            done = assay(a);
                            break;
                        case svc_action_kind::stabilise:
                            done = stabilise(a);
                            break;
                        case svc_action_kind::power_off:
                            done = power_off();
                            break;
                    }
                    if (!done) break;
                }
            }
        }
        close_link();
        r->seconds = std::round(seconds_since(t0) * 1000) / 1000;
    }
};

}  // namespace

bool svc_start_link(int index, const std::string& conn) {
    if (index < 0 || index >= SVC_MAX_INSTRUMENTS) return false;
    Link& l = links[index];
    int generation;
    {
        std::lock_guard<std::mutex> guard(l.lock);
        l.reset_link();
        generation = ++l.generation;
    }
    int h = -1;
    if (QXX_connect(conn.c_str(), &h, on_connected, on_error, on_closed, Q8_probe, Q8_test_probe,
                    user_of(index, generation)) != 0)
        return false;
    std::lock_guard<std::mutex> guard(l.lock);
    l.handle = h;
    return true;
}

void svc_drop_link(int index) {
    int h;
    {
        std::lock_guard<std::mutex> guard(links[index].lock);
        h = links[index].handle;
        links[index].handle = -1;
    }
    if (h >= 0) QXX_disconnect(h);
}

void svc_service(const svc_options& o, const svc_container* container, int index, svc_result* r) {
    Link& l = links[index];
    Work w{o, container, index, r, l};
    {
        std::lock_guard<std::mutex> guard(l.lock);
        w.handle = l.handle;
        l.handle = -1;
    }
    w.run();
}

int svc_load_container(const std::string& path, svc_container* out, std::string* error) {
    out->path = path;
    xfw_file file;
    errno = 0;  // a file that opens but is no regular file leaves none of its own
    if (!xfw_open(path.c_str(), &file)) {
        *error = "cannot read " + path + ": " + (errno ? strerror(errno) : "not a regular file");
        return SVC_FILE;
    }
    xfw_header h;
    if (xfw_read_header(&file, &h) != XFW_OK || !xfw_is_container(h)) {
        *error = path + " is no firmware container";
        return SVC_FILE;
    }
    if (std::strcmp(h.model, Q8_MODEL) != 0 || h.dev_type != static_cast<uint32_t>(Q8_DEV_TYPE)) {
        *error = path + " is for another model (" + device_text(h.model, sizeof h.model) +
                 ", device type " + std::to_string(h.dev_type) + "), not for the " + Q8_MODEL;
        return SVC_FILE;
    }
    rewind(file.f.get());
    switch (xfw_read_image(&file, Q8_DEV_TYPE, -1, &out->image)) {
        case XFW_OK:
            break;
        case XFW_TOO_LONG:
            *error = path + " is cut short or too long: its image does not fit";
            return SVC_FILE;
        case XFW_NO_MEMORY:
            *error = "no memory for the image of " + path;
            return SVC_FILE;
        default:
            *error = "cannot read " + path + ": it ends early";
            return SVC_FILE;
    }
    switch (xfw_check_sums(out->image)) {
        case XFW_RAW_SUM:
            *error = path + " is damaged: its raw checksum is wrong";
            return SVC_FILE;
        case XFW_ENC_SUM:
            *error = path + " is damaged: its stored checksum is wrong";
            return SVC_FILE;
        default:
            break;
    }
    out->major = static_cast<int>((h.version >> 8) & 0xFF);
    out->minor = static_cast<int>(h.version & 0xFF);
    // The fingerprint of the file as it stands, read a piece at a time.
    rewind(file.f.get());
    sha256_state sha;
    sha256_start(&sha);
    std::vector<unsigned char> piece(HASH_PIECE);
    for (size_t n; (n = fread(piece.data(), 1, piece.size(), file.f.get())) > 0;)
        sha256_add(&sha, piece.data(), n);
    out->sha256 = sha256_hex(&sha);
    return SVC_OK;
}

// Days counted in eras of 400 years from March, when leap days come last.
int64_t svc_calendar_seconds(int64_t y, int64_t m, int64_t d, int64_t H, int64_t M, int64_t S) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t year_of_era = y - era * 400;
    const int64_t day_of_year = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    const int64_t days = era * 146097 + day_of_era - 719468;
    return ((days * 24 + H) * 60 + M) * 60 + S;
}

bool svc_version_numbers(const std::string& text, int* major, int* minor) {
    static const std::regex number(R"(([0-9]+)\.([0-9]+))");
    std::smatch m;
    if (!std::regex_search(text, m, number) || m[1].length() > 3 || m[2].length() > 3) return false;
    *major = std::stoi(m[1]);
    *minor = std::stoi(m[2]);
    return true;
}

std::string svc_refusal_text(int status, int kind) {
    // The instrument's refusal statuses.
    static constexpr const char* MEANINGS[] = {
        nullptr,
        "refused",
        "the request's size is wrong",
        "the checksum of what was written does not match",
        "a value is out of range",
        "nothing was written since the erase",
        "the other accumulation procedure is running",
    };
    if (kind == 2) return "it does not know the request (general error reply)";
    if (status < 0) return "refused";
    const char* meaning =
        status < static_cast<int>(std::size(MEANINGS)) ? MEANINGS[status] : nullptr;
    return (meaning ? std::string(meaning) : "refused") + " (status " + std::to_string(status) +
           ")";
}
