#include "sim_server.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "qxx_frame.h"
#include "sim_model.h"
#include "sim_sys.h"

// printf-style checks as the C99 printf the build uses (on Windows MinGW-w64's own, not the
// system's older one, which knows no %zu).
#ifdef _WIN32
#define SIM_PRINTF(format_at, args_at) __attribute__((format(gnu_printf, format_at, args_at)))
#else
#define SIM_PRINTF(format_at, args_at) __attribute__((format(printf, format_at, args_at)))
#endif

namespace {

// Queued bytes beyond which events are dropped and requests are no longer read.
constexpr size_t OUT_QUEUE_LIMIT = 1 << 20;
constexpr int64_t PTY_RETRY_US = 50000;  // look for a new pty peer this often
constexpr int READ_CHUNK = 65536;
constexpr int ANNOUNCE_IDENT = 10, ANNOUNCE_ADDRESS = 16, ANNOUNCE_NAME = 40;
constexpr int ANNOUNCE_SIZE = ANNOUNCE_IDENT + ANNOUNCE_ADDRESS + ANNOUNCE_NAME;  // 66
constexpr int INSTRUMENT_PORT = 4444;  // the port a client assumes when an address names none
constexpr int64_t NEVER = INT64_MAX;

int64_t now_us() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// One frame, or nothing but an order to close the link, waiting to be written.
struct out_item {
    std::vector<unsigned char> bytes;
    size_t sent = 0;
    int64_t due_us = 0;
    const char* close_after = nullptr;  // close the link once written, for this reason
};

enum class link_kind { none, tcp, pty };

// The link an instrument serves. Everything here starts afresh with every link.
struct link_state {
    link_kind kind = link_kind::none;
    int fd = -1;
    std::string peer;
    bool spoken = false;        // a valid frame arrived: events may flow
    bool closing = false;       // the link ends once the queue is written: input is ignored
    bool blocked = false;       // the last write would have blocked: wait for SIM_WRITABLE
    int frames = 0;             // valid frames received
    int replies = 0;            // replies answered (dropped ones included)
    std::map<int, int> failed;  // failures injected so far, per --fail-code code
    std::map<int, int> seen;    // requests received so far, per code (--close-at)
    std::deque<out_item> out;
    size_t out_bytes = 0;
    int64_t next_piece_us = 0;  // --split: the next piece may go from then
    int64_t next_tick_us = 0;
    int noise = 0;  // bytes dropped since the last report
};

}  // namespace

// One instrument of the bench: its own options (serial number, faults), model, listener and
// link. The first instrument also serves the pseudo-terminal.
struct sim_instrument {
    sim_server* server = nullptr;
    int number = 1;  // from 1, as --fault-on and the trace name it
    sim_options opt;
    sim_model model;
    int listen_fd = -1;
    int tcp_port = 0;
    std::unique_ptr<QXX_rx> rx = std::make_unique<QXX_rx>();
    link_state link;
    int links = 0;             // links opened so far (--close-links)
    int64_t off_until_us = 0;  // restarting until then; NEVER: it does not come back
    std::minstd_rand rng{12345};
};

struct sim_server {
    sim_options opt;
    std::vector<std::unique_ptr<sim_instrument>> instruments;
    bool ipv6 = false;  // the bound address is an IPv6 one
    int udp_fd = -1;
    int pty_fd = -1;
    int wake[2] = {-1, -1};
    std::string pty_path;
    int udp_port = 0;
    std::atomic<bool> stop{false};
    int64_t pty_retry_us = 0;
    int64_t t0_us = 0;
};

namespace {

using sim_in = sim_instrument;

// One line of --log: the time since start and, on a bench, the instrument ("#2").
void vtrace(const sim_server* s, const sim_in* in, const char* fmt, va_list ap) {
    char line[512];
    vsnprintf(line, sizeof line, fmt, ap);
    char who[16] = "";
    if (in != nullptr && s->instruments.size() > 1) snprintf(who, sizeof who, "#%d ", in->number);
    std::fprintf(stderr, "[%9.3f] %s%s\n", static_cast<double>(now_us() - s->t0_us) / 1e6, who,
                 line);
    std::fflush(stderr);
}

SIM_PRINTF(2, 3) void trace(const sim_in* in, const char* fmt, ...) {
    if (!in->server->opt.log) return;
    va_list ap;
    va_start(ap, fmt);
    vtrace(in->server, in, fmt, ap);
    va_end(ap);
}

SIM_PRINTF(2, 3) void trace_server(const sim_server* s, const char* fmt, ...) {
    if (!s->opt.log) return;
    va_list ap;
    va_start(ap, fmt);
    vtrace(s, nullptr, fmt, ap);
    va_end(ap);
}

std::string describe(int code) {
    const char* name = sim_request_name(code);
    if (name) return std::to_string(code) + " " + name;
    static const std::map<int, const char*> others = {
        {QXX_CODE_STATUS, "general status"},
        {QXX_CODE_ERROR, "general error"},
        {SIM_EV_SPECTRUM, "spectrum"},
        {SIM_EV_KEYBOARD, "keyboard"},
        {SIM_EV_TOTAL, "total"},
        {SIM_EV_STATUS, "status"},
        {SIM_EV_LIGHT, "light sensor"},
        {SIM_EV_PROGRESS, "progress"},
        {SIM_EV_CS_RESULT, "cs stabilisation result"}};
    auto it = others.find(code);
    if (it != others.end()) return std::to_string(code) + " " + it->second;
    if (code > QXX_REPLY_OFFSET && sim_request_name(code - QXX_REPLY_OFFSET))
        return std::to_string(code) + " reply";
    return std::to_string(code) + " (unknown)";
}

std::vector<unsigned char> build(const sim_frame& f) {
    std::vector<unsigned char> bytes(f.payload.size() + QXX_FRAME_OVERHEAD);
    qxx_build_frame(bytes.data(), f.code, f.payload.data(), static_cast<int>(f.payload.size()),
                    f.param, f.status);
    return bytes;
}

int open_socket(sim_server* s, bool stream, int port, std::string* error) {
    const char* what = stream ? "tcp" : "udp";
    int fd = sim_socket(s->opt.bind.c_str(), stream);
    if (fd < 0) {
        *error = std::string(what) + " socket: " + sim_error_text();
        return -1;
    }
    sim_reuse_address(fd);
    if (!sim_bind(fd, s->opt.bind.c_str(), port, stream)) {
        *error = std::string(what) + " " + sim_server_endpoint(s, port) + ": " + sim_error_text();
        sim_close(fd);
        return -1;
    }
    sim_set_nonblocking(fd);
    return fd;
}

bool is_off(const sim_in* in, int64_t now) {
    return now < in->off_until_us;
}

// ---- the link ---------------------------------------------------------------------------------

void report_noise(sim_in* in) {
    if (in->link.noise > 0)
        trace(in, "dropped %d byte(s) that were not part of a frame", in->link.noise);
    in->link.noise = 0;
}

void close_link(sim_in* in, const char* why) {
    link_state& l = in->link;
    if (l.kind == link_kind::none) return;
    report_noise(in);
    trace(in, "link %s closed (%s)", l.peer.c_str(), why);
    if (l.kind == link_kind::tcp) sim_close(l.fd);
    // The pty stays: the next peer that talks on it opens the next link.
    if (l.kind == link_kind::pty) in->server->pty_retry_us = now_us() + PTY_RETRY_US;
    in->link = link_state{};
    in->rx->count = 0;
}

void open_link(sim_in* in, link_kind kind, int fd, const std::string& peer) {
    in->link = link_state{};
    in->link.kind = kind;
    in->link.fd = fd;
    in->link.peer = peer;
    in->rx->count = 0;
    in->rx->len = 0;
    in->rx->body = 0;
    in->links++;
    trace(in, "link %s open", peer.c_str());
}

void queue(sim_in* in, std::vector<unsigned char> bytes, int64_t due,
           const char* close_after = nullptr) {
    link_state& l = in->link;
    l.out_bytes += bytes.size();
    out_item it;
    it.bytes = std::move(bytes);
    it.due_us = due;
    it.close_after = close_after;
    l.out.push_back(std::move(it));
}

void trace_event(sim_in* in, const sim_frame& e) {
    if (!in->server->opt.log) return;  // the names are looked up only for the trace
    if (e.code == SIM_EV_PROGRESS)
        trace(in, "event %s %d%% state %d", describe(e.code).c_str(),
              get_i32le(e.payload.data() + 4), get_i32le(e.payload.data() + 8));
    else if (e.code == SIM_EV_CS_RESULT)
        trace(in, "event %s %d", describe(e.code).c_str(), get_i32le(e.payload.data() + 4));
    else
        trace(in, "event %s (%zu bytes)", describe(e.code).c_str(), e.payload.size());
}

void queue_events(sim_in* in, const std::vector<sim_frame>& events, int64_t due) {
    for (const auto& e : events) {
        if (in->link.out_bytes > OUT_QUEUE_LIMIT) {
            trace(in, "event %s dropped: the peer reads nothing", describe(e.code).c_str());
            continue;
        }
        trace_event(in, e);
        queue(in, build(e), due);
    }
}

bool listed(const std::vector<int>& codes, int code) {
    return std::find(codes.begin(), codes.end(), code) != codes.end();
}

// The injected answer for `code`, if a fault option takes it over.
bool injected_answer(sim_in* in, int code, sim_answer* a, const char** why) {
    if (listed(in->opt.error_reply, code)) {
        *a = sim_answer{};
        a->reply.code = QXX_CODE_ERROR;
        a->reply.status = SIM_STATUS_REFUSED;
        a->reply.param = code;
        *why = "--error-reply";
        return true;
    }
    for (const auto& f : in->opt.fail_code) {
        if (f.code != code) continue;
        int& n = in->link.failed[code];
        if (in->opt.fail_times > 0 && n >= in->opt.fail_times) return false;
        n++;
        *a = sim_answer{};
        a->reply.code = code + QXX_REPLY_OFFSET;
        a->reply.status = f.status;
        *why = "--fail-code";
        return true;
    }
    return false;
}

// Whether this frame ends the link unanswered (--close-after, --close-at), and why.
const char* closes_link(sim_in* in, int code) {
    link_state& l = in->link;
    const sim_options& o = in->opt;
    if (o.close_after > 0 && l.frames >= o.close_after) return "--close-after";
    const int seen = ++l.seen[code];
    if (o.close_at.code == code && o.close_at.status == seen &&
        (o.close_links == 0 || in->links <= o.close_links))
        return "--close-at";
    return nullptr;
}

// A restart, a power off or a flash: the instrument is off from now for its boot time, or for
// good when it never comes back from a flash.
void restarts(sim_in* in, const sim_answer& a, int64_t due) {
    const bool gone = a.flashed && in->opt.never_back;
    in->off_until_us = gone ? NEVER : due + static_cast<int64_t>(in->opt.boot_ms) * 1000;
    if (gone)
        trace(in, "the instrument restarts and does not come back (--never-back)");
    else
        trace(in, "the instrument restarts: the link closes after the reply");
}

void handle_frame(sim_in* in, const unsigned char* frame) {
    link_state& l = in->link;
    int code = qxx_frame_code(frame);
    int size = qxx_frame_payload_size(frame);
    l.frames++;
    if (l.closing) {
        trace(in, "rx %s ignored: the link is closing", describe(code).c_str());
        return;
    }
    if (const char* why = closes_link(in, code)) {
        trace(in, "rx %s (%d bytes): frame %d, closing the link (%s)", describe(code).c_str(), size,
              l.frames, why);
        // Unanswered, but the replies already owed to earlier frames still go out first.
        l.closing = true;
        queue(in, {}, now_us(), why);
        return;
    }
    l.spoken = true;

    int64_t now = now_us();
    sim_answer a;
    const char* why = nullptr;
    if (!injected_answer(in, code, &a, &why)) {
        sim_activity before = in->model.activity;
        sim_model_request(&in->model, code, frame + QXX_OFF_PAYLOAD, size, &a);
        // A new accumulation reports its first spectrum one full period after it starts.
        if (in->model.activity != sim_activity::none && in->model.activity != before)
            l.next_tick_us = now + static_cast<int64_t>(in->opt.event_ms) * 1000;
    }
    int64_t due = now + static_cast<int64_t>(in->opt.delay_ms + a.delay_ms) * 1000;

    if (in->server->opt.log)  // the names are looked up only for the trace
        trace(in, "rx %s (%d bytes) -> %s status %d (%zu bytes)%s%s", describe(code).c_str(), size,
              describe(a.reply.code).c_str(), a.reply.status, a.reply.payload.size(),
              why ? " by " : "", why ? why : "");

    for (int i = 0; i < in->opt.status_replies; ++i) {
        sim_frame st;
        st.code = QXX_CODE_STATUS;
        queue(in, build(st), due);
    }
    int k = ++l.replies;
    if (in->opt.drop_every > 0 && k % in->opt.drop_every == 0) {
        trace(in, "reply %d dropped (--drop-every)", k);
        if (a.close_link) queue(in, {}, due, "restart");
    } else {
        std::vector<unsigned char> bytes = build(a.reply);
        if (in->opt.corrupt_header_every > 0 && k % in->opt.corrupt_header_every == 0) {
            bytes[QXX_OFF_HDR_XOR] ^= 0x5A;
            trace(in, "reply %d: header corrupted (--corrupt-header-every)", k);
        }
        if (in->opt.corrupt_payload_every > 0 && k % in->opt.corrupt_payload_every == 0) {
            // A payload byte if there is one, else the payload checksum itself.
            size_t at = a.reply.payload.empty() ? bytes.size() - 1
                                                : QXX_OFF_PAYLOAD + a.reply.payload.size() / 2;
            bytes[at] ^= 0x5A;
            trace(in, "reply %d: payload corrupted (--corrupt-payload-every)", k);
        }
        queue(in, std::move(bytes), due, a.close_link ? "restart" : nullptr);
    }
    if (a.close_link) {
        l.closing = true;
        restarts(in, a, due);
    }
    queue_events(in, a.events, due);
}

// Feeds received bytes to the frame assembler; stops early when a frame closed the link.
void feed(sim_in* in, const unsigned char* data, sim_ssize n) {
    QXX_rx* rx = in->rx.get();
    link_kind kind = in->link.kind;
    for (sim_ssize i = 0; i < n && in->link.kind == kind; ++i) {
        // Between frames, a frame that lies whole in this read is handled where it lies.
        if (rx->count == 0) {
            if (const int whole = qxx_frame_at(
                    data + i, static_cast<int>(std::min<sim_ssize>(n - i, QXX_RX_BUFFER_SIZE)))) {
                report_noise(in);
                handle_frame(in, data + i);
                i += whole - 1;
                continue;
            }
        }
        int before = rx->count;
        if (before >= QXX_HEADER_SIZE && rx->len != 0 && rx->body < rx->len) {
            // Inside a body: the rest of it, or all this read holds of it, in one piece; the
            // last byte of the body goes through the byte-wise step below.
            const int rest = std::min<sim_ssize>(rx->len - rx->body - 1, n - i);
            if (rest > 0) {
                int used = 0;
                qxx_rx_feed(rx, data + i, rest, &used);
                i += used - 1;
                continue;
            }
        }
        if (qxx_rx_push(rx, data[i])) {
            report_noise(in);
            handle_frame(in, rx->buf);
            rx->count = 0;
            continue;
        }
        if (rx->count != 0) continue;
        if (before == QXX_HEADER_SIZE - 1) {
            trace(in, "dropped a frame: bad header checksum");
        } else if (before >= QXX_HEADER_SIZE) {
            trace(in, "dropped a frame of %d bytes: bad payload checksum", before + 1);
        } else {
            in->link.noise += before + 1;
        }
    }
}

void read_link(sim_in* in) {
    unsigned char buf[READ_CHUNK];
    sim_ssize n = sim_read(in->link.fd, buf, sizeof buf);
    if (n > 0) {
        feed(in, buf, n);
        return;
    }
    if (n < 0 && sim_would_block()) return;
    // TCP end of stream, or EIO from a pty whose peer closed it.
    close_link(in, n == 0 ? "peer closed" : sim_error_text().c_str());
}

void write_link(sim_in* in) {
    link_state& l = in->link;
    int64_t now = now_us();
    while (l.kind != link_kind::none && !l.out.empty()) {
        out_item& it = l.out.front();
        if (it.due_us > now) return;
        if (it.sent < it.bytes.size()) {
            size_t want = it.bytes.size() - it.sent;
            if (in->opt.split) {
                if (now < l.next_piece_us) return;
                want = std::min<size_t>(want, 1 + in->rng() % 7);
            }
            sim_ssize n = sim_send(l.fd, it.bytes.data() + it.sent, want, l.kind == link_kind::tcp);
            if (n < 0) {
                if (sim_would_block()) {
                    l.blocked = true;
                    return;
                }
                close_link(in, sim_error_text().c_str());
                return;
            }
            l.blocked = false;
            it.sent += static_cast<size_t>(n);
            l.out_bytes -= static_cast<size_t>(n);
            if (in->opt.split) {
                l.next_piece_us = now + 50 + static_cast<int64_t>(in->rng() % 250);
                if (it.sent < it.bytes.size()) return;
            }
            if (it.sent < it.bytes.size()) continue;
        }
        const char* close_after = it.close_after;
        l.out.pop_front();
        if (close_after) close_link(in, close_after);
    }
}

void tick(sim_in* in) {
    link_state& l = in->link;
    int64_t now = now_us();
    if (l.kind == link_kind::none || !l.spoken || now < l.next_tick_us) return;
    l.next_tick_us = now + static_cast<int64_t>(in->opt.event_ms) * 1000;
    if (l.closing) return;
    std::vector<sim_frame> events;
    sim_model_tick(&in->model, in->opt.events, in->opt.event_ms, &events);
    queue_events(in, events, now);
}

// ---- listeners --------------------------------------------------------------------------------

// A connection while the instrument is off (restarting, or gone for good) is closed at once, as
// the peer of a device that is not there yet.
void accept_tcp(sim_in* in) {
    sim_address from;
    int fd = sim_accept(in->listen_fd, &from);
    if (fd < 0) return;
    if (is_off(in, now_us())) {
        trace(in, "link tcp %s refused: the instrument is off", sim_address_text(from).c_str());
        sim_close(fd);
        return;
    }
    sim_set_nodelay(fd);
    open_link(in, link_kind::tcp, fd, "tcp " + sim_address_text(from));
}

void put_field(unsigned char* field, int width, const std::string& text) {
    std::memset(field, 0, width);
    std::memcpy(field, text.data(), std::min<size_t>(text.size(), width));
}

// The address to announce: --announce-address as given, or the bound address (with a wildcard
// bind the local address through which the requester is reached) and, for an instrument not
// on the instruments' port, ":PORT".
std::string announce_address(const sim_in* in, const sim_address& from) {
    const sim_server* s = in->server;
    if (!in->opt.announce_address.empty()) return in->opt.announce_address;
    std::string local = s->opt.bind;
    if (s->opt.bind == "0.0.0.0" || s->opt.bind == "::") {
        const std::string toward = sim_local_address_toward(from);
        if (!toward.empty()) local = toward;
    }
    if (in->tcp_port == INSTRUMENT_PORT) return local;
    const bool v6 = local.find(':') != std::string::npos;
    return (v6 ? "[" + local + "]" : local) + ":" + std::to_string(in->tcp_port);
}

void announce(sim_in* in, const sim_address& from) {
    const std::string serial(in->model.serial, strnlen(in->model.serial, SIM_SERIAL_LEN));
    sim_frame f;
    f.code = QXX_CODE_ANNOUNCE;
    f.payload.assign(ANNOUNCE_SIZE, 0);
    unsigned char* p = f.payload.data();
    put_field(p, ANNOUNCE_IDENT, in->opt.ident.empty() ? serial : in->opt.ident);
    put_field(p + ANNOUNCE_IDENT, ANNOUNCE_ADDRESS, announce_address(in, from));
    put_field(p + ANNOUNCE_IDENT + ANNOUNCE_ADDRESS, ANNOUNCE_NAME,
              in->opt.name.empty() ? "NV-52 " + serial : in->opt.name);
    std::vector<unsigned char> bytes = build(f);
    sim_send_to(in->server->udp_fd, bytes.data(), bytes.size(), from);
}

// Answers each discovery request in one datagram, to its sender, with one announcement per
// instrument that is on.
void serve_discovery(sim_server* s) {
    unsigned char buf[READ_CHUNK];
    sim_address from;
    sim_ssize n = sim_receive_from(s->udp_fd, buf, sizeof buf, &from);
    if (n <= 0) return;
    // A datagram is parsed on its own: the links' assemblers are left as they are.
    auto rx = std::make_unique<QXX_rx>();
    rx->count = 0;
    const int64_t now = now_us();
    for (sim_ssize i = 0; i < n; ++i) {
        if (!qxx_rx_push(rx.get(), buf[i])) continue;
        int code = qxx_frame_code(rx->buf);
        rx->count = 0;
        if (code != QXX_CODE_DISCOVER) {
            trace_server(s, "udp %s from %s ignored", describe(code).c_str(),
                         sim_address_text(from).c_str());
            continue;
        }
        for (auto& in : s->instruments) {
            if (is_off(in.get(), now)) continue;
            announce(in.get(), from);
            trace(in.get(), "udp discovery request from %s answered",
                  sim_address_text(from).c_str());
        }
    }
}

}  // namespace

int sim_server_open(const sim_options& opt, sim_server** out, std::string* error) {
    auto s = std::make_unique<sim_server>();
    s->opt = opt;
    s->t0_us = now_us();
    s->ipv6 = sim_is_ipv6(opt.bind.c_str());
    for (int k = 0; k < std::max(opt.instruments, 1); ++k) {
        auto in = std::make_unique<sim_instrument>();
        in->server = s.get();
        in->number = k + 1;
        in->opt = sim_instrument_options(opt, k);
        in->rx->count = 0;
        sim_model& m = in->model;
        sim_model_init(&m, in->opt.serial, opt.usb_mode, opt.erase_ms, in->opt.refuse_identify);
        m.block_ms = opt.block_ms;
        m.flash_ms = opt.flash_ms;
        m.keep_version = in->opt.keep_version;
        if (in->opt.hostile_texts) sim_model_hostile_texts(&m);
        if (opt.noise_seed >= 0) sim_model_set_noise(&m, static_cast<uint32_t>(opt.noise_seed));
        s->instruments.push_back(std::move(in));
    }

    if (sim_wake_pair(s->wake) != 0) {
        *error = std::string("wake-up pipe: ") + sim_error_text();
        return -1;
    }
    sim_server* raw = s.get();
    auto fail = [&]() {
        sim_server_close(s.release());
        return -1;
    };
    for (size_t k = 0; k < raw->instruments.size(); ++k) {
        sim_in* in = raw->instruments[k].get();
        const int port = opt.port == 0 ? 0 : opt.port + static_cast<int>(k);
        if (port > 65535) {
            *error = "tcp port " + std::to_string(port) + ": beyond 65535";
            return fail();
        }
        if ((in->listen_fd = open_socket(raw, true, port, error)) < 0) return fail();
        in->tcp_port = sim_bound_port(in->listen_fd);
    }
    if ((raw->udp_fd = open_socket(raw, false, opt.discovery_port, error)) < 0) return fail();
    if (opt.pty && (raw->pty_fd = sim_open_pty(&raw->pty_path, error)) < 0) return fail();
    raw->udp_port = sim_bound_port(raw->udp_fd);
    *out = s.release();
    return 0;
}

int sim_server_instruments(const sim_server* s) {
    return static_cast<int>(s->instruments.size());
}
int sim_server_tcp_port(const sim_server* s, int index) {
    if (index < 0 || index >= sim_server_instruments(s)) return -1;
    return s->instruments[index]->tcp_port;
}
std::string sim_server_serial(const sim_server* s, int index) {
    if (index < 0 || index >= sim_server_instruments(s)) return "";
    return s->instruments[index]->opt.serial;
}
int sim_server_udp_port(const sim_server* s) {
    return s->udp_port;
}
const char* sim_server_pty_path(const sim_server* s) {
    return s->pty_path.c_str();
}

std::string sim_server_endpoint(const sim_server* s, int port) {
    if (s->ipv6) return "[" + s->opt.bind + "]:" + std::to_string(port);
    return s->opt.bind + ":" + std::to_string(port);
}

namespace {

// Where an instrument's descriptors sit in the poll array of one round.
struct polled {
    int listen_at = -1, link_at = -1, pty_at = -1;
};

// Adds what `in` waits for to the poll array, and moves `wake_at` to the next moment it has
// something to do: a reply, a piece, an event tick, the end of its boot, a pty retry.
void poll_for(sim_server* s, sim_in* in, int64_t now, std::vector<sim_poll>* fds, polled* at,
              int64_t* wake_at) {
    link_state& l = in->link;
    if (l.kind == link_kind::none) {
        at->listen_at = static_cast<int>(fds->size());
        fds->push_back(sim_poll{in->listen_fd, SIM_READABLE});
        if (in->number == 1 && s->pty_fd >= 0 && now >= s->pty_retry_us && !is_off(in, now)) {
            at->pty_at = static_cast<int>(fds->size());
            fds->push_back(sim_poll{s->pty_fd, SIM_READABLE});
        }
        if (in->number == 1 && s->pty_fd >= 0 && now < s->pty_retry_us)
            *wake_at = std::min(*wake_at, s->pty_retry_us);
        if (is_off(in, now) && in->off_until_us != NEVER)
            *wake_at = std::min(*wake_at, in->off_until_us);
        return;
    }
    at->link_at = static_cast<int>(fds->size());
    // While the peer reads nothing, stop reading its requests: TCP flow control then holds
    // the peer back, and the queue stays bounded.
    short ev = l.out_bytes > OUT_QUEUE_LIMIT ? 0 : SIM_READABLE;
    if (l.blocked) ev |= SIM_WRITABLE;
    fds->push_back(sim_poll{l.fd, ev});
    if (l.spoken) *wake_at = std::min(*wake_at, l.next_tick_us);
    if (!l.out.empty() && !l.blocked)
        *wake_at = std::min(*wake_at, std::max(l.out.front().due_us, l.next_piece_us));
}

void serve(sim_server* s, sim_in* in, const std::vector<sim_poll>& fds, const polled& at) {
    if (at.listen_at >= 0 && (fds[at.listen_at].revents & SIM_READABLE)) {
        accept_tcp(in);
    } else if (at.pty_at >= 0 && fds[at.pty_at].revents) {
        if (fds[at.pty_at].revents & SIM_READABLE) {
            open_link(in, link_kind::pty, s->pty_fd, "pty " + s->pty_path);
            read_link(in);
        } else {
            // A hang-up: the last peer closed the pty and no new one opened it yet.
            s->pty_retry_us = now_us() + PTY_RETRY_US;
        }
    }
    if (at.link_at >= 0 && in->link.kind != link_kind::none) {
        short re = fds[at.link_at].revents;
        if (re & SIM_WRITABLE) in->link.blocked = false;
        if (re & (SIM_READABLE | SIM_HANGUP | SIM_FAILED)) read_link(in);
    }
}

}  // namespace

int sim_server_run(sim_server* s) {
    std::vector<sim_poll> fds;
    std::vector<polled> at(s->instruments.size());
    while (!s->stop.load()) {
        for (auto& in : s->instruments) {
            tick(in.get());
            write_link(in.get());
        }
        const int64_t now = now_us();
        fds.clear();
        fds.push_back(sim_poll{s->wake[0], SIM_READABLE});
        fds.push_back(sim_poll{s->udp_fd, SIM_READABLE});
        int64_t wake_at = NEVER;
        for (size_t k = 0; k < s->instruments.size(); ++k) {
            at[k] = polled{};
            poll_for(s, s->instruments[k].get(), now, &fds, &at[k], &wake_at);
        }
        int64_t timeout_us = wake_at == NEVER ? -1 : std::max<int64_t>(0, wake_at - now);
        if (sim_wait(fds.data(), static_cast<int>(fds.size()), timeout_us) < 0) return -1;

        if (fds[0].revents) {
            char drain[64];
            while (sim_read(s->wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents & SIM_READABLE) serve_discovery(s);
        for (size_t k = 0; k < s->instruments.size(); ++k)
            serve(s, s->instruments[k].get(), fds, at[k]);
    }
    for (auto& in : s->instruments) close_link(in.get(), "simulator stopped");
    return 0;
}

void sim_server_stop(sim_server* s) {
    s->stop.store(true);
    sim_wake(s->wake);
}

void sim_server_close(sim_server* s) {
    if (s == nullptr) return;
    for (auto& in : s->instruments) {
        if (in->link.kind == link_kind::tcp) sim_close(in->link.fd);
        if (in->listen_fd >= 0) sim_close(in->listen_fd);
    }
    for (int fd : {s->udp_fd, s->pty_fd, s->wake[0], s->wake[1]})
        if (fd >= 0) sim_close(fd);
    delete s;
}
