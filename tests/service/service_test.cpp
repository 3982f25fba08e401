// nv-service run as a process against nv52-sim --instruments 8: in a network namespace of its
// own, joined to the test's by a veth pair (data/cases.txt, whose head tells the form), and on
// free loopback ports (data/loopback.txt), which the Windows run also runs against nv-service.exe
// under Wine.
#include <gtest/gtest.h>
#include <glob.h>
#include <pwd.h>
#include <sys/mount.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "../e2e/session.h"
#include "svc_json.h"

namespace {

using namespace session;

constexpr const char* HERE = "10.9.0.1";   // the test's end of the veth pair
constexpr const char* BENCH = "10.9.0.2";  // the bench's
constexpr int FIRST_PORT = 4444;
constexpr int INSTRUMENTS = 8;

// The bench: nv52-sim in a network namespace of its own, made when its shell is there; or, with
// `loopback`, on free ports of 127.0.0.1 (its ports then read off its first lines).
class Bench {
  public:
    std::vector<int> ports;
    std::string udp;

    bool start(const strings& options, int instruments, const std::string& log, bool loopback) {
        if (loopback) {
            strings args = {NV52_SIM_BIN, "--port", "0", "--discovery-port", "0", "--log"};
            args.insert(args.end(), options.begin(), options.end());
            if (!child_.start(args, "", log)) return false;
            for (int k = 0; k < instruments; ++k)
                ports.push_back(Sim::port_of(child_.wait_line("listening tcp ")));
            udp = child_.wait_line("listening udp ");
            return !udp.empty() && ports.back() > 0;
        }
        std::string sim = std::string(NV52_SIM_BIN) + " --bind 0.0.0.0 --port " +
                          std::to_string(FIRST_PORT) + " --discovery-port 4455 --log";
        for (const std::string& o : options) sim += " '" + o + "'";
        for (int k = 0; k < instruments; ++k) ports.push_back(FIRST_PORT + k);
        const std::string script = std::string("echo inside; read go; ip link set lo up && ") +
                                   "ip addr add " + BENCH + "/24 dev vb && ip link set vb up && " +
                                   "exec " + sim;
        if (!child_.start({"/usr/bin/unshare", "-n", "sh", "-c", script}, "", log)) return false;
        if (!child_.wait_line("inside").empty()) return false;
        const std::string pid = std::to_string(child_.pid());
        for (const std::string& c :
             {"ip link add va type veth peer name vb netns " + pid,
              std::string("ip addr add ") + HERE + "/24 dev va", std::string("ip link set va up"),
              std::string("ip route add default dev va")})
            if (system((c + " >/dev/null 2>&1").c_str()) != 0) return false;
        child_.send("go\n");
        for (int k = 0; k <= instruments; ++k)  // a TCP line each, then the UDP line
            if (child_.wait_line("listening ").empty()) return false;
        // A veth end drops what it is given until the kernel's link watch has taken its
        // carrier in (state UP). The two ends have the same index, each in its namespace, and
        // such a pair's event waits up to a second after the last link event of the machine
        // (others' tests make links all the time): a connect's SYN dropped there is sent again
        // only after nv-service's one-second time-out.
        for (const std::string& end :
             {std::string("ip -o link show va"),
              "nsenter --net=/proc/" + pid + "/ns/net ip -o link show vb"}) {
            bool up = false;
            for (int tries = 0; tries < 1000 && !up; ++tries) {
                up = proc::run({"/bin/sh", "-c", end}).output.find(" state UP ") !=
                     std::string::npos;
                if (!up) usleep(10000);  // a poll of the link's state, not a wait for it
            }
            if (!up) return false;
        }
        return true;
    }
    ~Bench() { stop(); }
    void stop() { child_.stop(); }

  private:
    proc::Child child_;
};

struct Run {
    strings args;
    int exit = -1;
    std::string out, err;
};

struct Case {
    std::string name, setup, record = "state/nv-term/service.jsonl";
    bool loopback = false, tty = false;
    strings sim;
    std::vector<strings> files, records, sent;
    std::vector<Run> runs;
    strings out, err, absent, counts, spc, order;
    std::vector<std::pair<int, int>> refused;  // instrument, most links turned away
    std::vector<strings> contents, each;
    std::vector<int> exits;  // of each run in turn; one for all; none: 0
};

// "$3": instrument 3's DEVICE; "$DIR": the case's folder; "$HOST": the bench's address; "$UDP":
// where its discovery answers; "$HOSTNAME" and "$OPERATOR": this machine's and this user's names.
std::string expand_text(std::string s, const std::string& dir, const Bench& bench, bool loopback) {
    const std::string host = loopback ? "127.0.0.1" : BENCH;
    for (size_t at; (at = s.find("$DIR")) != std::string::npos;) s.replace(at, 4, dir);
    char name[256] = "";
    gethostname(name, sizeof name - 1);
    for (size_t at; (at = s.find("$HOSTNAME")) != std::string::npos;) s.replace(at, 9, name);
    for (size_t at; (at = s.find("$HOST")) != std::string::npos;) s.replace(at, 5, host);
    for (size_t at; (at = s.find("$UDP")) != std::string::npos;) s.replace(at, 4, bench.udp);
    const passwd* me = getpwuid(geteuid());
    for (size_t at; (at = s.find("$OPERATOR")) != std::string::npos;)
        s.replace(at, 9, me ? me->pw_name : "");
    static const std::regex instrument(R"(\$([1-8]))");
    std::smatch m;
    while (std::regex_search(s, m, instrument)) {
        const size_t k = std::stoul(m[1]);
        const int port = k <= bench.ports.size() ? bench.ports[k - 1] : 0;
        s.replace(m.position(0), m.length(0), host + ":" + std::to_string(port));
    }
    return s;
}

std::string serial_of(int k) {
    return "C000" + std::to_string(1233 + k);
}

std::vector<Case> load(const std::string& name) {
    std::vector<Case> cases;
    for (const auto& [n, line] : proc::data_lines(NV_SOURCE_DIR "/tests/service/data/" + name)) {
        std::istringstream in(line);
        std::string word, rest;
        in >> word;
        std::getline(in >> std::ws, rest);
        const strings w = proc::words_of(rest);
        if (word == "case") {
            cases.emplace_back().name = rest;
            cases.back().loopback = name == "loopback.txt";
            continue;
        }
        Case& c = cases.back();
        if (word == "sim") c.sim = w;
        if (word == "setup") c.setup = rest;
        if (word == "file") c.files.push_back(w);
        if (word == "run") c.runs.push_back(Run{w, -1, "", ""});
        if (word == "exit")
            for (const std::string& code : w) c.exits.push_back(std::stoi(code));
        if (word == "out") c.out.push_back(rest);
        if (word == "err") c.err.push_back(rest);
        if (word == "absent") c.absent.push_back(rest);
        if (word == "order") c.order = w;
        if (word == "refused") c.refused.emplace_back(std::stoi(w[0]), std::stoi(w[1]));
        if (word == "record") c.records.push_back(w);
        if (word == "sent") c.sent.push_back(w);
        if (word == "count") c.counts.push_back(rest);
        if (word == "content" || word == "each")
            (word == "each" ? c.each : c.contents)
                .push_back({rest.substr(0, rest.find(' ')), rest.substr(rest.find(' ') + 1)});
        if (word == "spc") c.spc.push_back(rest);
        if (word == "recordfile") c.record = rest;
        if (word == "tty") c.tty = true;
    }
    return cases;
}

// A container as the NV-52's firmware comes, its image beginning with "NV52-VERSION.0", or
// spoilt as `kind` says. Written here from the format, apart from the program's writer.
std::string container(const strings& w) {
    const std::string& kind = w[1];
    if (kind == "text") return "no container, just text\n";
    const std::string version = w.size() > 2 ? w[2] : "2.15";
    const size_t size = w.size() > 3 ? std::stoul(w[3]) : 100000;
    std::string image = "NV52-" + version + ".0";
    image.resize(size, '\0');
    for (size_t i = 32; i < size; ++i) image[i] = static_cast<char>(i * 31 / 7);
    uint32_t raw = 0, enc = 0;
    for (uint32_t i = 0; i < size / 4; ++i) {
        uint32_t word = get_u32le(reinterpret_cast<const unsigned char*>(&image[4 * i]));
        raw ^= word;
        word ^= i * i * i * i;
        enc ^= word;
        put_u32le(reinterpret_cast<unsigned char*>(&image[4 * i]), word);
    }
    unsigned char h[72] = {};
    memcpy(h, "ORVANTIS FIRMWARE", 17);
    memcpy(h + 20, kind == "other-model" ? "NV-99" : "NV-52", 5);
    put_u32le(h + 40, static_cast<uint32_t>(size));
    put_u32le(h + 44, kind == "other-model" ? 3 : 12);
    const int major = std::stoi(version), minor = std::stoi(version.substr(version.find('.') + 1));
    put_u32le(h + 48, static_cast<uint32_t>(major << 8 | minor));
    put_u32le(h + 52, raw ^ (kind == "bad-raw" ? 1 : 0));
    put_u32le(h + 56, enc ^ (kind == "bad-enc" ? 1 : 0));
    put_u32le(h + 68, 1);
    if (kind == "no-magic") h[0] = 'X';
    std::string file(reinterpret_cast<char*>(h), 72);
    file += image;
    if (kind == "cut") file.resize(file.size() - 100);
    return file;
}

// The requests each instrument received, link by link: "8007 8001 8203 | 8007 8001", where
// the first 8007 of a link stands for its identification probes and the serial request.
std::map<int, std::string> requests(const std::string& log) {
    std::map<int, std::vector<strings>> links;
    static const std::regex rx(R"(\] #(\d+) (rx (\d+) |link tcp \S+ open))");
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_search(line, m, rx)) continue;
        auto& of = links[std::stoi(m[1])];
        if (!m[3].matched)
            of.emplace_back();
        else if (!of.empty() &&
                 !(m[3] == "8007" && !of.back().empty() && of.back().back() == "8007"))
            of.back().push_back(m[3]);
    }
    std::map<int, std::string> out;
    for (const auto& [k, of] : links)
        for (const strings& codes : of) {
            std::string& s = out[k];
            s += s.empty() ? "" : " |";
            for (const std::string& code : codes) s += (s.empty() ? "" : " ") + code;
        }
    return out;
}

// "actions.2.attempts#": the value at a dotted path (`#` at the end: an array's length).
std::string field(const json_value& record, const std::string& path) {
    const json_value* v = &record;
    std::istringstream parts(path);
    for (std::string p; v && std::getline(parts, p, '.');) {
        const bool count = !p.empty() && p.back() == '#';
        if (count) p.pop_back();
        if (!p.empty() && std::isdigit(static_cast<unsigned char>(p[0]))) {
            const size_t i = std::stoul(p) - 1;
            v = i < v->items.size() ? &v->items[i] : nullptr;
        } else {
            v = v->get(p);
        }
        if (count) return v ? std::to_string(v->items.size()) : "(none)";
    }
    if (v == nullptr) return "(none)";
    return v->kind == json_value::string ? v->s : json_write(*v);
}

// Each pattern matches a line of `text`, in the pattern's order.
void expect_lines(const std::string& text, const strings& patterns, const std::string& what) {
    std::istringstream in(text);
    std::string line;
    for (const std::string& p : patterns) {
        if (p == "none") {
            EXPECT_EQ(text, "") << what;
            continue;
        }
        const std::regex rx(p);
        bool found = false;
        while (!found && std::getline(in, line)) found = std::regex_search(line, rx);
        EXPECT_TRUE(found) << what << " lacks, in order: " << p << "\n" << text;
    }
}

// What a case needs of the mount namespace: a full disk, a read-only folder, a shared folder.
// False when it cannot be made here.
bool prepare(const std::string& setup, const std::string& dir) {
    if (setup.empty()) return true;
    const std::string target = dir + "/" + setup.substr(setup.find(' ') + 1);
    mkdir(target.c_str(), 0755);
    if (setup.rfind("nobody-link ", 0) == 0) {
        // Root, in a folder anybody may write, must not write where another user's link points.
        write_file(dir + "/precious", "{\"earlier\":1}\n");
        const std::string link = target + "/service.jsonl";
        return chmod(target.c_str(), 01777) == 0 &&
               symlink((dir + "/precious").c_str(), link.c_str()) == 0 &&
               lchown(link.c_str(), 65534, 65534) == 0;
    }
    if (setup.rfind("full ", 0) == 0) {
        // Four pages, all taken: the record's to its last byte, the filler's.
        if (mount("tmpfs", target.c_str(), "tmpfs", 0, "size=16k") != 0) return false;
        write_file(target + "/service.jsonl", "{\"earlier\":1}" + std::string(4081, ' ') + "\n");
        write_file(target + "/filler", std::string(3 * 4096, 'x'));
    } else if (setup.rfind("read-only ", 0) == 0) {
        write_file(target + "/service.jsonl", "{\"earlier\":1}\n");
        return mount(target.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               mount(nullptr, target.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) ==
                   0;
    }
    return true;
}

// Takes the case's mounts off its folder before the folder goes.
struct Unmount {
    std::string target;
    ~Unmount() {
        if (!target.empty()) umount2(target.c_str(), MNT_DETACH);
    }
};

void run_case(const Case& c) {
    proc::TempDir dir;
    Unmount unmount{c.setup.empty() ? "" : dir.file(c.setup.substr(c.setup.find(' ') + 1))};
    setenv("XDG_STATE_HOME", dir.file("state").c_str(), 1);
    if (!prepare(c.setup, dir.path())) GTEST_SKIP() << "cannot make '" << c.setup << "' here";
    for (const strings& f : c.files) write_file(dir.file(f[0]), container(f));
    Bench bench;
    const std::string log = dir.file("sim.log");
    strings options = {"--instruments", std::to_string(INSTRUMENTS), "--event-ms", "20"};
    options.insert(options.end(), c.sim.begin(), c.sim.end());
    ASSERT_TRUE(bench.start(options, INSTRUMENTS, log, c.loopback)) << read_file(log);
    const auto expand = [&](const std::string& text) {
        return ::expand_text(text, dir.path(), bench, c.loopback);
    };

    std::vector<proc::Child> children(c.runs.size());
    for (size_t i = 0; i < c.runs.size(); ++i) {
        strings args = {NV_SERVICE_BIN};
        for (const std::string& a : c.runs[i].args) args.push_back(expand(a));
        if (c.tty) {  // on a terminal of its own, the words quoted for script's shell
            std::string command;
            for (const std::string& a : args) command += "'" + a + "' ";
            args = {"/usr/bin/script", "-qefc", command, "/dev/null"};
        }
        ASSERT_TRUE(children[i].start(args, dir.path(), dir.file("err" + std::to_string(i))));
    }
    std::vector<Run> runs = c.runs;
    for (size_t i = 0; i < runs.size(); ++i) {
        const proc::Result r = children[i].finish();
        runs[i].exit = r.exit_code;
        runs[i].out = r.output;
        if (c.tty)
            runs[i].out.erase(std::remove(runs[i].out.begin(), runs[i].out.end(), '\r'),
                              runs[i].out.end());
        runs[i].err = read_file(dir.file("err" + std::to_string(i)));
        // nv-service.exe ends its lines with CR LF: standard output is read as LF already.
        for (size_t at; (at = runs[i].err.find("\r\n")) != std::string::npos;)
            runs[i].err.erase(at, 1);
        EXPECT_FALSE(r.timed_out);
        const int exit = c.exits.empty() ? 0 : c.exits[std::min(i, c.exits.size() - 1)];
        EXPECT_EQ(runs[i].exit, exit) << runs[i].out << runs[i].err;
        expect_lines(runs[i].out, c.out, "standard output");
        for (const std::string& a : c.absent)
            EXPECT_FALSE(std::regex_search(runs[i].out, std::regex(a, std::regex::multiline)))
                << "standard output holds " << a << "\n"
                << runs[i].out;
        strings errs;
        for (const std::string& e : c.err) errs.push_back(expand(e));
        expect_lines(runs[i].err, errs, "standard error");
    }
    bench.stop();  // its log is complete
    const std::string sim_log = read_file(log);
    const std::map<int, std::string> sent = requests(sim_log);
    for (const auto& [k, most] : c.refused) {
        const std::string mark = "] #" + std::to_string(k) + " link tcp ";
        int turned = 0;
        std::istringstream in(sim_log);
        for (std::string line; std::getline(in, line);)
            turned += line.find(mark) != std::string::npos &&
                      line.find("refused: the instrument is off") != std::string::npos;
        EXPECT_GT(turned, 0) << "instrument " << k;
        EXPECT_LE(turned, most) << "instrument " << k << ": links made again without a pause";
    }
    for (const strings& s : c.sent) {
        std::string want;
        for (size_t i = 1; i < s.size(); ++i) want += (i > 1 ? " " : "") + s[i];
        const auto it = sent.find(std::stoi(s[0]));
        EXPECT_EQ(it == sent.end() ? "" : it->second, want) << "instrument " << s[0];
    }
    // The service record: its lines, each a record, looked up by serial number.
    const std::string record_path = dir.file(c.record);
    std::map<std::string, json_value> records;
    strings order;
    std::istringstream lines(read_file(record_path));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count) {
        json_value v;
        EXPECT_TRUE(json_read(line, &v)) << line;
        records[v.text("serial").empty() ? v.text("device") : v.text("serial")] = v;
        order.push_back(v.text("serial"));
    }
    if (!c.order.empty()) {
        EXPECT_EQ(order, c.order) << "the records' order";
    }
    for (const strings& r : c.records) {
        if (r[0] == "lines") {
            EXPECT_EQ(count, std::stoi(r[1])) << read_file(record_path);
            continue;
        }
        const std::string key = r[0][0] == '$' ? expand(r[0]) : serial_of(std::stoi(r[0]));
        ASSERT_TRUE(records.count(key)) << key << "\n" << read_file(record_path);
        for (size_t i = 1; i < r.size(); ++i) {
            const size_t eq = r[i].find('=');
            EXPECT_EQ(field(records[key], r[i].substr(0, eq)), expand(r[i].substr(eq + 1)))
                << key << " " << r[i];
        }
    }
    for (const std::string& cnt : c.counts) {
        const size_t blank = cnt.rfind(' ');
        glob_t g{};
        glob(dir.file(cnt.substr(0, blank)).c_str(), 0, nullptr, &g);
        EXPECT_EQ(g.gl_pathc, std::stoul(cnt.substr(blank + 1))) << cnt;
        globfree(&g);
    }
    for (const strings& f : c.contents)
        EXPECT_EQ(read_file(dir.file(f[0])), unescaped(f[1])) << f[0];
    for (const strings& f : c.each) {
        std::istringstream in(read_file(dir.file(f[0])));
        const std::regex rx(f[1]);
        int lines = 0;
        for (std::string line; std::getline(in, line); ++lines)
            EXPECT_TRUE(std::regex_search(line, rx)) << f[0] << ": " << line;
        EXPECT_GT(lines, 0) << f[0];
    }
#ifdef NV_SPC_BIN
    for (const std::string& pattern : c.spc) {
        glob_t g{};
        glob(dir.file(pattern).c_str(), 0, nullptr, &g);
        EXPECT_GT(g.gl_pathc, 0u) << pattern;
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            const auto r = proc::run({NV_SPC_BIN, "info", g.gl_pathv[i]});
            EXPECT_EQ(r.exit_code, 0) << g.gl_pathv[i] << "\n" << r.output;
        }
        globfree(&g);
    }
#endif
}

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

// The serial ports list shows, on a /dev and /sys made for the test: USB adapters first by their
// stable by-id names, then the other families by number, and no ttyS the kernel keeps for
// hardware that is not there (its type 0).
TEST(ServiceList, SerialPortsInTheirOrderWithTheirStableNames) {
    if (proc::windows_run()) GTEST_SKIP() << "Linux's device nodes";
    RUN_IN_NAMESPACE("m", {});
    const int null = open("/dev/null", O_PATH | O_CLOEXEC);
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0 ||
        mount("tmpfs", "/sys/class/tty", "tmpfs", 0, "mode=0755") != 0)
        GTEST_SKIP() << "no /dev and /sys of the test's own here: " << strerror(errno);
    write_file("/dev/null", "");
    const std::string null_path = "/proc/self/fd/" + std::to_string(null);
    ASSERT_EQ(mount(null_path.c_str(), "/dev/null", nullptr, MS_BIND, nullptr), 0);
    for (const char* node :
         {"ttyS10", "ttyS2", "ttyS0", "ttyACM1", "ttyUSB3", "ttyUSB10", "ttyX1", "ttyUSB", "tty5"})
        write_file(std::string("/dev/") + node, "");
    for (const auto& [node, type] : {std::pair{"ttyS0", "4"}, {"ttyS2", "0"}, {"ttyS10", "1"}}) {
        mkdir((std::string("/sys/class/tty/") + node).c_str(), 0755);
        write_file(std::string("/sys/class/tty/") + node + "/type", type);
    }
    mkdir("/dev/serial", 0755);
    mkdir("/dev/serial/by-id", 0755);
    ASSERT_EQ(symlink("../../ttyUSB10", "/dev/serial/by-id/usb-Maker_Adapter_42-if00-port0"), 0);
    const auto r =
        proc::run({NV_SERVICE_BIN, "list", "--discover", "127.0.0.1:9", "--discover-ms", "100"});
    EXPECT_EQ(r.output,
              "serial  /dev/ttyUSB3\n"
              "serial  /dev/serial/by-id/usb-Maker_Adapter_42-if00-port0  /dev/ttyUSB10\n"
              "serial  /dev/ttyACM1\n"
              "serial  /dev/ttyS0\n"
              "serial  /dev/ttyS10\n");
    EXPECT_EQ(r.exit_code, 0);
}

// What never reached standard output (a full disk) is a file error, said: a script's report is
// not complete.
TEST(ServiceOutput, AFullStandardOutputIsAFileError) {
    for (std::string args : {"--version", "--help"}) {
        const auto r =
            proc::run({"/bin/sh", "-c", std::string(NV_SERVICE_BIN) + " " + args + " > /dev/full"});
        EXPECT_EQ(r.exit_code, 9) << args;
        EXPECT_EQ(r.output, "nv-service: standard output: No space left on device\n") << args;
    }
}

class Service : public ::testing::TestWithParam<Case> {};

TEST_P(Service, Case) {
    if (!GetParam().loopback) {
        // nv-service.exe in a namespace would need a Wine server of its own per case: the
        // Windows run takes the loopback cases.
        if (proc::windows_run()) GTEST_SKIP() << "the namespace cases run on Linux";
        RUN_IN_NAMESPACE("nm", {"ip link set lo up"});
    }
    run_case(GetParam());
}

std::string name_of(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}
INSTANTIATE_TEST_SUITE_P(Cases, Service, ::testing::ValuesIn(load("cases.txt")), name_of);
INSTANTIATE_TEST_SUITE_P(Loopback, Service, ::testing::ValuesIn(load("loopback.txt")), name_of);

}  // namespace
