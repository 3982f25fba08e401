// Runs the console transcripts kept under data/ (their format: data/README.md) on the fake link.
#include <map>
#include <optional>
#include <set>

#include "fixture.h"
#include "q5_comm.h"
#include "q8_cmds.h"
#include "q8_comm.h"
#include "safe_text.h"
#include "transcript.h"

int nv_term_main(int argc, char** argv);

namespace {

using Records = std::map<std::string, Bytes>;

// `b` followed by the BYTES that the words from `from` on describe.
Bytes payload(const std::vector<std::string>& ws, size_t from, const Records& records,
              Bytes b = {}) {
    for (size_t k = from; k < ws.size(); ++k) {
        const std::string& w = ws[k];
        const size_t at = w.find('@'), colon = w.find(':');
        if (w[0] == '"') {
            const std::string t = quoted(w);
            b.insert(b.end(), t.begin(), t.end());
        } else if (w[0] == '$') {
            const size_t bracket = w.find('['), c = w.find(':');
            const Bytes& r = records.at(w.substr(1, bracket - 1));
            const size_t off = bracket == std::string::npos ? 0 : std::stoul(w.substr(bracket + 1));
            const size_t len =
                bracket == std::string::npos ? r.size() : std::stoul(w.substr(c + 1));
            b.insert(b.end(), r.begin() + static_cast<long>(off),
                     r.begin() + static_cast<long>(off + len));
        } else if (at != std::string::npos && at < colon) {
            const std::string type = w.substr(0, at), value = w.substr(w.find('=') + 1);
            const std::string t = type == "text" ? quoted(value) : "";
            const size_t off = std::stoul(w.substr(at + 1));
            (void)b.at(off + (type == "text" ? t.size() : type == "u16" ? 2 : 4) - 1);  // within
            unsigned char* p = b.data() + off;
            if (type == "u16") put_u16le(p, static_cast<uint16_t>(std::stoll(value, nullptr, 0)));
            if (type == "i32" || type == "u32")
                put_u32le(p, static_cast<uint32_t>(std::stoll(value, nullptr, 0)));
            if (type == "f32") put_f32le(p, std::strtof(value.c_str(), nullptr));
            for (uint32_t i = 0; type == "scramble" && off + 4 * i + 4 <= b.size(); ++i)
                for (int k = 0; k < 4; ++k)
                    p[4 * i + k] ^= static_cast<unsigned char>(i * i * i * i >> 8 * k);
            std::copy(t.begin(), t.end(), p);
        } else {
            const std::string kind = w.substr(0, colon), arg = w.substr(colon + 1);
            if (kind == "hex")
                for (size_t i = 0; i + 1 < arg.size(); i += 2)
                    b.push_back(
                        static_cast<unsigned char>(std::stoi(arg.substr(i, 2), nullptr, 16)));
            if (kind == "i32")
                for (size_t i = 0; i < arg.size(); i = arg.find(',', i) + 1) {
                    b.resize(b.size() + 4);
                    put_i32le(&b[b.size() - 4], std::stoi(arg.substr(i)));
                    if (arg.find(',', i) == std::string::npos) break;
                }
            if (kind == "zero") b.resize(b.size() + std::stoul(arg), 0);
            if (kind == "pattern") {
                const Bytes p = pattern(std::stoul(arg));
                b.insert(b.end(), p.begin(), p.end());
            }
            if (kind == "fill")
                b.resize(b.size() + std::stoul(arg),
                         static_cast<unsigned char>(
                             std::stoi(arg.substr(arg.find(':') + 1), nullptr, 16)));
        }
    }
    return b;
}

// Garbage on the stack, as earlier calls may leave it: the menu record must start empty anyway.
[[gnu::noinline]] void dirty_stack() {
    volatile unsigned char junk[1 << 16];
    for (auto& b : junk) b = 0x7F;
}

// A menu entry: prints its letter and its line ("!" for an argument); "a" answers -1, others 0.
template <char Tag>
int entry(char* line, int arg) {
    log_write("MAIN", "%c%s:%s", Tag, arg ? "!" : "", line);
    return Tag == 'a' ? -1 : 0;
}

int upload_limit = -1;        // the length limit of the upload (`limit N`; none unless given)
std::pair<int, Bytes> event;  // what `Q8_event` delivers: its code, its frame (empty: none)

int probe(int (*test)(int, const unsigned char*, int*, int), int type_given) {
    const unsigned char* frame = event.second.empty() ? nullptr : event.second.data();
    int type = -1;
    const int found = test(5, frame, &type, type_given);
    log_write("MAIN", "type %d; without it %d\n", type, test(5, frame, nullptr, type_given));
    for (const auto& [handle, tries] : fake_qxx::st().num_tries)
        log_write("MAIN", "%d tries on %d\n", tries, handle);
    return found;
}

using Call = std::function<int(int wait)>;  // a request wrapper called on handle 7
const std::map<std::string, Call>& wrappers();
alignas(8) unsigned char reply_buffer[8192];  // where the wrappers leave what they read

const std::map<std::string, Handler>& commands() {
#define CMD(f) \
    { #f, f }
    static const std::map<std::string, Handler> all = {
        // clang-format off
        CMD(Q5_cmd_get_fw_version), CMD(Q5_cmd_get_serial), CMD(Q5_cmd_set_serial),
        CMD(Q5_cmd_get_time), CMD(Q5_cmd_set_time), CMD(Q5_cmd_restart), CMD(Q8_cmd_get_fw_version),
        CMD(Q8_cmd_get_serial), CMD(Q8_cmd_set_serial), CMD(Q8_cmd_get_time), CMD(Q8_cmd_set_time),
        CMD(Q8_cmd_display_events), CMD(Q8_cmd_setup_display), CMD(Q8_cmd_set_leds),
        CMD(Q8_cmd_power_off), CMD(Q8_cmd_assay), CMD(Q8_cmd_cs_stab),
        CMD(Q8_cmd_set_gps_power_status), CMD(Q8_cmd_reacquire_bg), CMD(Q8_cmd_get_status),
        CMD(Q8_cmd_set_status), CMD(Q8_cmd_get_params), CMD(Q8_cmd_set_params),
        CMD(Q8_cmd_upload_xfw), CMD(Q8_cmd_flash_fw),
        // clang-format on
        {"Q5_cmd_upload_xfw",
         [](char* l, int) { return Q5_cmd_upload_xfw(l, "fw.xfw", 12, upload_limit); }},
        {"Q5_cmd_flash_fw", [](char* l, int) { return Q5_cmd_flash_fw(l, "fw.xfw"); }},
        {"main_loop", [](char*, int) { return dirty_stack(), main_loop(); }},
        // The container writers' arguments come from the line (MODEL "null": none).
        {"Q5_create_xfw",
         [](char* line, int) {
             const Strings a = words(line);
             return Q5_create_xfw(a[0].c_str(), a[1].c_str(), std::stoi(a[2]), std::stoi(a[3]),
                                  std::stoi(a[4]), a[5] == "null" ? nullptr : a[5].c_str(),
                                  std::stoi(a[6]), std::stoi(a[7]));
         }},
        {"Q8_create_xfw",
         [](char* line, int) {
             const Strings a = words(line);
             return Q8_create_xfw(a[0].c_str(), a[1].c_str(), std::stoi(a[2]), std::stoi(a[3]),
                                  std::stoi(a[4]));
         }},
        {"create_xfw(board)",
         [](char* l, int) { return Q5_cmd_create_xfw(l, "nv.bin", "fw.xfw", "Q5-BOARD", -1, 3); }},
        {"create_xfw(instrument)", [](char* l, int) { return Q8_cmd_create_xfw(l); }},
        {"hook_events", [](char*, int) { return Q8_cmd_hook_events(9); }},
        {"Q8_event",  // to the handler hooked for its code
         [](char*, int) {
             Q8_cmd_hook_events(7);
             for (const auto& [handle, code, handler] : fake_qxx::st().hooks)
                 if (code == event.first)
                     return handler(7, nullptr,
                                    event.second.empty() ? nullptr : event.second.data(), 0);
             return -100;
         }},
        {"Q5_test_probe", [](char*, int) { return probe(Q5_test_probe, 3); }},
        {"Q8_test_probe", [](char*, int) { return probe(Q8_test_probe, 7); }},
        {"connect_dev", [](char*, int) { return connect_dev(1); }},
        {"connect_dev(0)", [](char*, int) { return connect_dev(0); }},
        {"disconnect_dev", [](char*, int) { return disconnect_dev(), 0; }},
        {"link_event",
         [](char* line, int) {
             const Strings a = words(line);
             const int r = a[0] == "connected"
                               ? QXX_event_connected(std::stoi(a[1]), nullptr, std::stoi(a[2]), 0)
                           : a[0] == "error"        ? QXX_event_connection_error(6, nullptr, 0)
                           : a[0] == "disconnected" ? QXX_event_disconnected(6, nullptr, 0)
                                                    : QXX_event_device_list_changed(nullptr);
             log_write("MAIN", "(type %d", dev_type.load());
             for (const auto& [handle, code, handler] : fake_qxx::st().hooks)
                 log_write("MAIN", " %d:%d", handle, code);
             log_write("MAIN", ")\n");
             return r;
         }},
        {"input_get",  // SIZE|null|enter...: each piece read, and whether the input ended
         [](char* line, int) {
             std::string out = "ended " + std::to_string(input_ended());
             int r = 0;
             for (const std::string& w : words(line)) {
                 char piece[16] = "zz";  // the buffer as the caller left it
                 if (w == "enter") r |= input_wait_enter();
                 if (w != "enter")
                     r |= input_get(w == "null" ? nullptr : piece, w == "null" ? 5 : std::stoi(w));
                 out += " [";
                 for (const char* p = w == "enter" || w == "null" ? w.c_str() : piece; *p; ++p)
                     out += *p == '\n' ? "\\n" : *p == '\r' ? "\\r" : std::string(1, *p);
                 out += "]";
             }
             log_write("MAIN", "%s ended %d\n", out.c_str(), input_ended());
             return r;
         }},
        {"call",
         [](char* line, int arg) {
             const Strings a = words(line);
             const size_t n = std::stoul(a[1]);
             const Bytes start = payload(a, 2, {});
             std::memset(reply_buffer, 'X', n);
             std::copy(start.begin(), start.end(), reply_buffer);
             const int r = wrappers().at(a[0])(arg != '0');
             for (size_t i = 0; i < n; ++i) log_write("MAIN", "%02x", reply_buffer[i]);
             log_write("MAIN", "\n");
             return r;
         }},
        {"SaveSpec",  // PATH VALUES COUNT FIRST SECOND SCALE [buffer]: the buffer's text printed
         [](char* line, int) {
             static const int32_t values[] = {5, -6, 0, 2147483647};
             const Strings a = words(line);
             char text[4096];
             std::memset(text, 'x', sizeof text - 1);
             text[sizeof text - 1] = '\0';
             const int r = SaveSpec(a[0].c_str(), a[1] == "null" ? nullptr : values,
                                    std::stoi(a[2]), std::stoi(a[3]), std::stoi(a[4]),
                                    std::stof(a[5]), a.size() > 6 ? text : nullptr);
             if (a.size() > 6) log_write("MAIN", "%s", text);
             return r;
         }},
        {"nv-term",  // the program with the line's words as its arguments
         [](char* line, int) {
             std::vector<std::string> args = words(line);
             args.insert(args.begin(), "nv-term");
             return nv_term_main(static_cast<int>(args.size()), proc::argv_of(args).data());
         }},
        // "test [COUNT]" (five entries, the first COUNT kept), "empty" or "cut" (texts too long).
        {"menu",
         [](char* line, int) {
             const Strings a = words(line);
             menu m;
             menu_init(&m);
             if (a[0] == "test") {
                 menu_add(&m, "st", "set time", "sets the time", entry<'a'>);
                 menu_add(&m, "ve", "version", "shows the version", entry<'b'>);
                 menu_add(&m, "VE", "again", "same code, runs too", entry<'c'>);
                 menu_add(&m, "q", "quit", "quits program", nullptr);
                 menu_add(&m, "x", "after", "after quit", entry<'d'>);
                 if (a.size() > 1) m.count = std::stoi(a[1]);
             }
             if (a[0] == "cut" && menu_add(&m, "abcd", "abcdefghijklmnopq",
                                           std::string(70, 'h').c_str(), nullptr) == &m)
                 menu_add(&m, nullptr, nullptr, nullptr, nullptr);
             log_write("MAIN", "(%d printed)\n", menu_print(&m));
             return menu_run(&m);
         }},
        {"Q5_menu",  // the board's menu as a console runs it: its makers report 0
         [](char*, int) {
             menu m;
             menu_init(&m);
             int r = Q5_cmd_create_menu(&m) + Q5_cmd_hook_events();
             menu_add(&m, "q", "quit", "quits program", nullptr);
             menu_print(&m);
             menu_run(&m);
             return r;
         }},
    };
#undef CMD
    return all;
}

struct Request {
    int code;
    Bytes bytes;
    int wait = 1, timeout = -1, reply = -1;  // -1: any
    bool operator==(const Request&) const = default;
};
void PrintTo(const Request& r, std::ostream* os) {
    *os << r.code << " wait " << r.wait << " timeout " << r.timeout << " reply " << r.reply << " "
        << r.bytes.size() << " bytes:";
    for (unsigned char c : r.bytes) *os << ' ' << std::hex << int{c} << std::dec;
}

using Pairs = std::vector<std::pair<int, int>>;

struct Case : transcript::Case {
    std::string command, line, value, left;
    std::vector<Strings> readers;  // kind, start, min, max; then "line" and the index
    int arg = 0, result = 0, disconnects = 0, shuts = 0, linked = -1;  // -1: any
    std::vector<int> slept;
    struct tm clock {};
    std::vector<std::pair<int, fake_qxx::Reply>> replies;
    std::vector<std::pair<std::string, Bytes>> files, written;
    std::vector<Request> sent;
    std::vector<std::function<void()>> setup;
    std::vector<std::pair<size_t, std::function<void()>>> after_sleep;
    Strings connects, broadcasts;
    Pairs inquiries, waits;
};

// The words from `from` on as texts (quoted ones unescaped), or as pairs A:B.
Strings texts(const std::vector<std::string>& w, size_t from) {
    Strings out;
    for (size_t k = from; k < w.size(); ++k) out.push_back(w[k][0] == '"' ? quoted(w[k]) : w[k]);
    return out;
}
Pairs pairs(const std::vector<std::string>& w) {
    Pairs out;
    for (const std::string& t : texts(w, 1))
        out.emplace_back(std::stoi(t), std::stoi(t.substr(t.find(':') + 1)));
    return out;
}

// A line that prepares the link or the program, applied at the start or at a pause; else null.
std::function<void()> preparation(const std::vector<std::string>& w, const Records& records) {
    using S = fake_qxx::State;
    const std::string& key = w[0];
    const Strings names = texts(w, 1);
    if (key == "usb") return [names] { fake_qxx::st().usb_devices = names; };
    if (key == "bluetooth")
        return [names] { fake_qxx::st().bt_available = 1, fake_qxx::st().bt_devices = names; };
    if (key == "announce") {
        const Bytes f = frame_of(QXX_CODE_ANNOUNCE, payload(w, 1, records));
        return [f] { fake_qxx::st().datagrams.push_back(f); };
    }
    const std::map<std::string, int S::*> link = {{"identified", &S::identified},
                                                  {"wait", &S::wait_result},
                                                  {"state", &S::conn_state},
                                                  {"disconnect", &S::disconnect_result},
                                                  {"hook", &S::hook_result}};
    if (key == "link") return [f = link.at(w[1]), v = std::stoi(w[2])] { fake_qxx::st().*f = v; };
    if (key == "device") return [v = std::stoi(w[1])] { dev_type = v; };
    if (key == "connected") return [v = std::stoi(w[1])] { connected = v; };
    if (key == "folder") return [n = w[1]] { std::filesystem::create_directories(n); };
    if (key == "sparse")  // sparse NAME SIZE [BYTES]: BYTES, then a hole up to SIZE
        return [n = w[1], size = std::stoull(w[2], nullptr, 0), b = payload(w, 3, records)] {
            write_file(n, b);
            std::filesystem::resize_file(n, size);
        };
    if (key == "limit") return [v = std::stoi(w[1])] { upload_limit = v; };
    if (key == "events") return [v = std::stoi(w[1])] { log_setlevel("EVENTS", v); };
    if (key == "event") {  // event CODE BYTES|none [frame BYTES]: patches of the whole frame
        const int code = std::stoi(w[1]);
        const size_t whole = std::find(w.begin(), w.end(), "frame") - w.begin();
        const Strings in(w.begin(), w.begin() + whole);
        const Bytes f =
            in.size() > 2 && in[2] == "none"
                ? Bytes()
                : payload(w, whole + 1, records, frame_of(code, payload(in, 2, records)));
        return [code, f] { event = {code, f}; };
    }
    return nullptr;
}

// A reader prompting with one letter: its result, and the value it ends with.
template <class T, class L>
std::pair<int, std::string> ask(int (*read)(T*, L, L, const char*), const char* prompt,
                                const std::vector<std::string>& w) {
    T v = static_cast<T>(std::stod(w[1]));
    const int r =
        read(&v, static_cast<L>(std::stod(w[2])), static_cast<L>(std::stod(w[3])), prompt);
    char text[64];
    snprintf(text, sizeof text, std::is_floating_point_v<T> ? "%g" : "%.0f",
             static_cast<double>(v));
    return {r, text};
}
std::pair<int, std::string> read(const std::vector<std::string>& w, char* line) {
    const std::string& kind = w[0];
    const bool cmd = w.size() > 4;  // the command-line form, on `line` (null: none)
    const int index = cmd ? std::stoi(w[5]) : 0;
    if (kind == "integer" && cmd) {
        int32_t v = std::stoi(w[1]);
        int r = input_integer_msg_cmd(&v, std::stoi(w[2]), std::stoi(w[3]), "N", line, index);
        return {r, std::to_string(v)};
    }
    if (kind == "string") {
        char v[INPUT_LINE_SIZE + 1];
        snprintf(v, sizeof v, "%s", w[1].c_str());
        const unsigned min = std::stoul(w[2]), max = std::stoul(w[3]);
        int r = cmd ? input_string_msg_cmd(v, min, max, "T", line, index)
                    : input_string_msg(v, min, max, "T");
        return {r, v};
    }
    if (kind == "yesno") {
        int32_t v = std::stoi(w[1]);
        int r = input_yesno_msg(&v, "Y/N");
        return {r, std::to_string(v)};
    }
    if (kind == "integer") return ask(input_integer_msg, "N", w);
    if (kind == "char") return ask(input_char_msg, "C", w);
    if (kind == "uchar") return ask(input_uchar_msg, "U", w);
    if (kind == "short") return ask(input_short_msg, "S", w);
    if (kind == "hex") return ask(input_hex_integer_msg, "H", w);
    if (kind == "hexchar") return ask(input_hex_char_msg, "B", w);
    if (kind == "hexshort") return ask(input_hex_short_msg, "W", w);
    if (kind == "float") return ask(input_float_msg, "F", w);
    ADD_FAILURE() << "no reader " << kind;
    return {};
}

std::set<std::string> listing() {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator("."))
        names.insert(e.path().filename());
    return names;
}

void check(const Case& c) {
    SCOPED_TRACE(c.file + ":" + std::to_string(c.number) + ": " + c.name);
    fake_qxx::reset();
    connected = 1;
    sleeps.clear();
    for (const auto& e : std::filesystem::directory_iterator(".")) std::filesystem::remove_all(e);
    Console con(c.screen.typed);
    upload_limit = -1;
    for (const auto& [name, bytes] : c.files) {
        if (name.find('/') != std::string::npos)
            std::filesystem::create_directories(std::filesystem::path(name).parent_path());
        write_file(name, bytes);
    }
    for (const auto& f : c.setup) f();
    on_sleep = [&c] {
        for (const auto& [n, f] : c.after_sleep)
            if (n == sleeps.size()) f();
    };
    for (const auto& [code, reply] : c.replies) fake_qxx::st().replies[code].push_back(reply);
    static struct tm now;  // the PC's local time, when the case gives one
    now = c.clock;
    const q5_clock_proc real_clock = Q5_local_now;
    if (now.tm_mday != 0) Q5_local_now = [](struct tm* t) { *t = now; };
    std::set<std::string> names = listing();
    for (const auto& [name, bytes] : c.written) names.insert(name.substr(0, name.find('/')));
    const size_t descriptors = open_descriptors();
    std::string line = c.line + "\n";
    if (!c.readers.empty()) {  // the readers in turn on one line; their values joined by ","
        std::pair<int, std::string> got;
        for (const Strings& r : c.readers) {
            const auto [result, value] = read(r, c.line == "null" ? nullptr : line.data());
            got = {got.first | result, got.second + (&r == &c.readers[0] ? "" : ",") + value};
        }
        EXPECT_EQ(got, std::pair(c.result, c.value));
    } else if (commands().count(c.command)) {
        EXPECT_EQ(commands().at(c.command)(line.data(), c.arg), c.result);
    } else {
        ADD_FAILURE() << "no command " << c.command;
    }
    Q5_local_now = real_clock;
    std::string left;  // the input the command left unread
    for (char rest[INPUT_LINE_SIZE]; input_get(rest, sizeof rest), !input_ended();) left += rest;
    EXPECT_EQ(left, c.left);
    EXPECT_EQ(con.out(), c.screen.printed);
    EXPECT_EQ(c.screen.errors_shown ? con.err() : "", c.screen.errors);
    EXPECT_EQ(c.linked < 0 ? -1 : connected.load(), c.linked);
    const fake_qxx::State& st = fake_qxx::st();
    EXPECT_EQ(st.connect_strings, c.connects);
    EXPECT_EQ(st.broadcasts, c.broadcasts);
    EXPECT_EQ(st.bt_inquiries, c.inquiries);
    EXPECT_EQ(st.waits, c.waits);
    EXPECT_EQ(sleeps, c.slept);
    EXPECT_EQ(st.shuts, c.shuts);
    EXPECT_EQ(st.broadcast, nullptr);  // no discovery left listening
    std::vector<Request> sent;
    for (size_t i = 0; i < fake_qxx::st().calls.size(); ++i) {
        const fake_qxx::Call& call = fake_qxx::st().calls[i];
        const Request want = i < c.sent.size() ? c.sent[i] : Request{};
        sent.push_back({call.code, call.request, call.wait, want.timeout < 0 ? -1 : call.timeout,
                        want.reply < 0 ? -1 : call.reply_size});
        EXPECT_EQ(call.handle, 7);
    }
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(fake_qxx::st().disconnects, c.disconnects);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_EQ(listing(), names);
    for (const auto& [name, bytes] : c.written) EXPECT_EQ(read_file(name), bytes) << name;
    for (const auto& file : c.files) {
        const std::string& name = file.first;
        const bool rewritten = std::any_of(c.written.begin(), c.written.end(),
                                           [&](const auto& w) { return w.first == name; });
        EXPECT_EQ(rewritten ? file.second : read_file(name), file.second) << name;
    }
}

void transcripts(const std::string& name) {
    Records records;
    transcript::Defines defines;
    const auto lines =
        transcript::lines_of(NV_SOURCE_DIR "/tests/unit_console/data/" + name, defines);
    const auto other = [&](Case& c, const transcript::Line& l) {
        const std::vector<std::string> w = words(l.text);
        const std::string &key = w[0], &line = l.text;
        if (key == "record") {
            records[w[1]] = payload(w, 2, records, records[w[1]]);
        } else if (auto f = preparation(w, records)) {
            c.setup.push_back(f);
        } else if (key == "after-sleep") {
            c.after_sleep.emplace_back(std::stoul(w[1]),
                                       preparation({w.begin() + 2, w.end()}, records));
        } else if (key == "connects" || key == "broadcasts") {
            (key == "connects" ? c.connects : c.broadcasts) = texts(w, 1);
        } else if (key == "inquiries" || key == "waits") {
            (key == "waits" ? c.waits : c.inquiries) = pairs(w);
        } else if (key == "slept") {
            for (const std::string& t : texts(w, 1)) c.slept.push_back(std::stoi(t));
        } else if (key == "errors") {
            c.screen.errors_shown = true;  // errors none
        } else if (key == "run") {
            const std::string rest = line.substr(4);
            const size_t blank = rest.find(' '), slash = rest.substr(0, blank).find('/');
            c.command = rest.substr(0, std::min(blank, slash));
            c.line = blank == std::string::npos ? "" : rest.substr(blank + 1);
            if (slash != std::string::npos) c.arg = rest[slash + 1];
        } else if (key == "read") {
            // The line's text as typed, escapes and all; later readers share it.
            c.readers.emplace_back(w.begin() + 1, w.begin() + std::min<size_t>(w.size(), 7));
            if (c.readers.size() == 1 && c.readers[0].size() > 4) {
                const std::string rest = line.substr(line.find(" line ") + 6);
                c.line = escapes::unescaped(rest.substr(rest.find(' ') + 1));
            }
        } else if (key == "value" || key == "input" || key == "typed") {
            std::string_view rest = l.rest;
            const bool joined = key != "value" && escapes::take_joiner(rest);
            const std::string text =
                escapes::unescaped(rest) + (key == "value" || joined ? "" : "\n");
            if (key == "value") c.value = text;
            if (key != "value") c.screen.typed += text;
            if (key == "input") c.left += text;
        } else if (key == "reply") {
            c.replies.emplace_back(std::stoi(w[1]),
                                   fake_qxx::Reply{std::stoi(w[2]), payload(w, 3, records)});
        } else if (key == "sent") {
            Request r{std::stoi(w[1]), {}};
            size_t k = 2;
            for (; k < w.size() && (w[k] == "nowait" || w[k].find('=') < 8); ++k) {
                if (w[k] == "nowait") r.wait = 0;
                if (w[k] != "nowait")
                    (w[k][0] == 't' ? r.timeout : r.reply) =
                        std::stoi(w[k].substr(w[k].find('=') + 1));
            }
            r.bytes = payload(w, k, records);
            c.sent.push_back(r);
        } else if (key == "file" || key == "written") {
            (key == "file" ? c.files : c.written).emplace_back(w[1], payload(w, 2, records));
        } else if (key == "clock") {
            struct tm& t = c.clock;
            sscanf(line.c_str(), "clock %d-%d-%d %d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday,
                   &t.tm_hour, &t.tm_min, &t.tm_sec);
            t.tm_year -= 1900;
            t.tm_mon -= 1;
        } else if (key == "result" || key == "disconnects" || key == "shuts" || key == "linked") {
            (key == "result"        ? c.result
             : key == "disconnects" ? c.disconnects
             : key == "shuts"       ? c.shuts
                                    : c.linked) = std::stoi(w[1]);
        } else {
            ADD_FAILURE() << name << ":" << l.number << ": unknown line " << line;
        }
    };
    for (const Case& c : transcript::cases_of<Case>(name, lines, defines, other)) check(c);
}

// Each data file a test of its own, so that a failure names its file (and its case) in ctest's
// list too.
class Transcripts : public Linked, public testing::WithParamInterface<const char*> {};

TEST_P(Transcripts, OfTheDataFile) {
    dev_type = 12;  // each file starts on an NV-52
    transcripts(std::string(GetParam()) + ".txt");
}

INSTANTIATE_TEST_SUITE_P(Console, Transcripts,
                         testing::Values("q5_commands", "set_time", "q8_commands", "q8_records",
                                         "menus", "readers", "q5_container", "q5_upload",
                                         "q8_events", "connect", "buffers", "save_spectrum",
                                         "no_device", "requests"),
                         [](const testing::TestParamInfo<const char*>& p) { return p.param; });

TEST(DeviceText, PrintableTextPassesControlsAndBrokenUtf8AreEscaped) {
    for (const auto& [n, line] : data_lines("device_text.txt")) {
        const std::vector<std::string> w = words(line);
        const std::string in = quoted(w[1]);
        EXPECT_EQ(device_text(w[1] == "null" ? nullptr : in.c_str(), std::stoul(w[0])),
                  quoted(w[2]))
            << "device_text.txt:" << n;
    }
}

// Every character from U+0080 on, as UTF-8, alone: escaped exactly when it is a C1 control, the
// line or paragraph separator, or default-ignorable as the Unicode character database says
// (data/default_ignorable.txt); every other one passes as it is.
TEST(DeviceText, EveryCharacterThatPrintsNothingIsEscaped) {
    std::vector<std::pair<uint32_t, uint32_t>> hidden = {{0x80, 0x9F}, {0x2028, 0x2029}};
    for (const auto& numbered : data_lines("default_ignorable.txt")) {
        const std::string& line = numbered.second;
        const uint32_t first = std::stoul(line, nullptr, 16);
        const size_t dots = line.find("..");
        hidden.emplace_back(
            first, dots < line.find(';') ? std::stoul(line.substr(dots + 2), nullptr, 16) : first);
    }
    std::vector<std::string> wrong;
    for (uint32_t c = 0x80; c <= 0x10FFFF && wrong.size() < 10; ++c) {
        if (c == 0xD800) c = 0xE000;  // surrogates are never valid UTF-8 (device_text.txt)
        char u[5] = {};
        const int n = c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        for (int i = n - 1; i > 0; --i)
            u[i] = static_cast<char>(0x80 | (c >> 6 * (n - 1 - i) & 0x3F));
        u[0] = static_cast<char>((0xF00 >> n & 0xFF) | c >> 6 * (n - 1));
        const bool escaped = device_text(u, sizeof u) != u;
        const bool invisible = std::any_of(hidden.begin(), hidden.end(), [c](const auto& r) {
            return c >= r.first && c <= r.second;
        });
        char name[24];
        snprintf(name, sizeof name, "U+%04X %s", c, escaped ? "escaped" : "shown");
        if (escaped != invisible) wrong.push_back(name);
    }
    EXPECT_EQ(wrong, std::vector<std::string>{});
}

const Bytes REQUEST = pattern(1400);  // what a caller's request buffer holds: pattern:N on the wire

Call call(int (*f)(int, int)) {
    return [f](int w) { return f(7, w); };
}
Call call(int (*f)(int, const void*, int)) {
    return [f](int w) { return f(7, REQUEST.data(), w); };
}
template <typename T>  // the reply to reply_buffer, whatever the wrapper's type for it
Call call(int (*f)(int, T*, int)) {
    return [f](int w) { return f(7, static_cast<T*>(static_cast<void*>(reply_buffer)), w); };
}
Call call(int (*f)(int, int32_t, int)) {  // the value 0x01020304
    return [f](int w) { return f(7, 0x01020304, w); };
}
Call call(int (*f)(int, const void*, void*, int)) {
    return [f](int w) { return f(7, REQUEST.data(), reply_buffer, w); };
}

// Every request wrapper, by name; a name with arguments calls the wrapper with those.
const std::map<std::string, Call>& wrappers() {
#define W(f) \
    { #f, call(f) }
    static const std::map<std::string, Call> all = {
        // clang-format off
        W(Q8_emulate_key), W(Q8_set_leds), W(Q8_get_leds), W(Q8_set_params), W(Q8_get_params),
        W(Q8_get_status), W(Q8_power_off), W(Q8_restart), W(Q8_clear_accumulated_spectrum),
        W(Q8_start_accumulated_spectrum), W(Q8_stop_accumulated_spectrum),
        W(Q8_start_cs_stab_acc_spectrum), W(Q8_stop_cs_stab_acc_spectrum),
        W(Q8_start_assay_acc_spectrum), W(Q8_stop_assay_acc_spectrum), W(Q8_store_measurement),
        W(Q8_get_identify_results), W(Q8_setup_display), W(Q8_set_gui_serial), W(Q8_get_time),
        W(Q8_set_time), W(Q8_get_date), W(Q8_set_date), W(Q8_welcome), W(Q8_get_versions),
        W(Q8_get_serial_number), W(Q8_set_gps_power), W(Q8_record_survey),
        W(Q8_reacquire_background), W(Q8_confirm_alarms), W(Q8_start_record_audio),
        W(Q8_stop_record_audio), W(Q8_play_audio), W(Q8_stop_audio), W(Q8_set_adc_param),
        W(Q8_assign_note), W(Q8_get_motion_sensor_data), W(Q8_set_event_filter),
        W(Q8_get_event_filter), W(Q8_delete_record_id), W(Q8_set_inhibition), W(Q8_get_inhibition),
        W(Q8_get_wifi_ipv4_list), W(Q8_get_wifi_ipv6_list), W(Q8_get_usb_gadget_list),
        W(Q8_connect_wifi), W(Q8_set_wifi), W(Q8_set_passphrase), W(Q8_set_ipv4), W(Q8_set_ipv6),
        W(Q8_prepare_note_db), W(Q8_save_calib_log), W(Q8_check_calib_date), W(Q8_get_memory_usage),
        W(Q8_set_default_params), W(Q8_load_default_params), W(Q8_get_calibration_method_names),
        W(Q8_get_calibration_methods), W(Q8_save_calibration_spect), W(Q8_probe), W(Q5_probe),
        W(Q8_get_gps_power), W(Q5_get_fw_version), W(Q5_get_serial), W(Q5_get_model_rev),
        W(Q5_get_time), W(Q5_erase_ext_flash),
        // clang-format on
        {"Q8_get_params_len", [](int w) { return Q8_get_params_len(7, reply_buffer, nullptr, w); }},
        {"Q8_get_gps_power(null)", [](int w) { return Q8_get_gps_power(7, nullptr, w); }},
        {"Q8_tx_buff_info", [](int w) { return Q8_tx_buff_info(7, 0x01020304, reply_buffer, w); }},
        {"Q8_tx_buff_prepare",
         [](int w) {
             q8_tx_prepare r;
             std::memcpy(r.bytes, REQUEST.data(), sizeof r.bytes);
             return Q8_tx_buff_prepare(7, r, reply_buffer, w);
         }},
        {"Q8_tx_buff_get",
         [](int w) {
             q8_tx_get r;
             std::memcpy(r.bytes, REQUEST.data(), sizeof r.bytes);
             return Q8_tx_buff_get(7, r, reply_buffer, w);
         }},
        {"Q5_get_fw_version(null)", [](int w) { return Q5_get_fw_version(7, nullptr, w); }},
        {"Q5_set_serial", [](int w) { return Q5_set_serial(7, "B0001234", w); }},
        {"Q5_set_model_rev", [](int w) { return Q5_set_model_rev(7, 0x01020304, w); }},
        {"Q5_get_model_rev(null)", [](int w) { return Q5_get_model_rev(7, nullptr, w); }},
        {"Q5_get_time(null)", [](int w) { return Q5_get_time(7, nullptr, w); }},
        {"Q5_set_time(2026-12-06,01:58:03)",
         [](int w) {
             const q5_time t{2026, 12, 6, 1, 58, 3};
             return Q5_set_time(7, &t, w);
         }},
        {"Q5_flash_FW(1,0x1234)", [](int w) { return Q5_flash_FW(7, 1, 0x1234, w); }},
        {"Q5_flash_FW(0,0xA1B2C3D4)", [](int w) { return Q5_flash_FW(7, 0, 0xA1B2C3D4, w); }},
        {"Q5_write_ext_flash(0x0102,abc)",
         [](int w) { return Q5_write_ext_flash(7, 0x0102, "abc", 3, w); }},
        {"Q5_write_ext_flash(0x0100,none)",
         [](int w) { return Q5_write_ext_flash(7, 0x0100, nullptr, 0, w); }},
        {"Q5_read_ext_flash(1)", [](int w) { return Q5_read_ext_flash(7, 1, reply_buffer, w); }},
        {"Q5_read_ext_flash(0xFFFF)",
         [](int w) { return Q5_read_ext_flash(7, 0xFFFF, reply_buffer, w); }},
        {"Q5_read_ext_flash(2,null)", [](int w) { return Q5_read_ext_flash(7, 2, nullptr, w); }},
        {"Q5_restart", [](int) { return Q5_restart(7); }},
    };
#undef W
    return all;
}

}  // namespace
