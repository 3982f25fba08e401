// Whole sessions of nv-term against nv52-sim, written as console transcripts in data/*.txt: every
// fault the simulator can inject, spoilt containers, bad answers at every prompt; never a hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>

#include "comm_peers.h"
#include "session.h"

namespace {

using namespace session;

struct Case : transcript::Case {
    std::string spoil, folder, container = "nv52fw.xfw", script;
    strings sim, sent, anywhere, ignore, events, files, args = {NV_TERM_BIN};
    std::vector<strings> leftovers;
    std::vector<std::pair<std::string, std::string>> replace;
    std::vector<std::pair<size_t, std::string>> waits;  // input typed so far, text to wait for
    size_t image = 8, probes = 0;
    int offset = 0, exit = 0;
};

constexpr auto words = proc::words_of;

using Setter = void (*)(Case&, const std::string&);
const std::map<std::string, Setter> SETTERS = {
    {"sim", [](Case& c, const std::string& v) { c.sim = words(v); }},
    {"image", [](Case& c, const std::string& v) { c.image = std::stoul(v); }},
    {"spoil", [](Case& c, const std::string& v) { c.spoil = v; }},
    {"sent", [](Case& c, const std::string& v) { c.sent = words(v); }},
    {"probes", [](Case& c, const std::string& v) { c.probes = std::stoul(v); }},
    {"offset", [](Case& c, const std::string& v) { c.offset = std::stoi(v); }},
    {"args", [](Case& c, const std::string& v) { c.args = words(NV_TERM_BIN " " + v); }},
    {"exit", [](Case& c, const std::string& v) { c.exit = std::stoi(v); }},
    {"files", [](Case& c, const std::string& v) { c.files = words(v); }},
    {"container", [](Case& c, const std::string& v) { c.container = v; }},
    {"folder", [](Case& c, const std::string& v) { c.folder = unescaped(v); }},
    {"script", [](Case& c, const std::string& v) { c.script = v; }},
    {"leftover", [](Case& c, const std::string& v) { c.leftovers.push_back(words(v)); }},
    {"events", [](Case& c, const std::string& v) { c.events = words(v); }},
    {"anywhere", [](Case& c, const std::string& v) { c.anywhere.push_back(unescaped(v)); }},
    {"ignore", [](Case& c, const std::string& v) { c.ignore.push_back(unescaped(v)); }},
    {"wait",
     [](Case& c, const std::string& v) {
         c.waits.emplace_back(c.screen.typed.size(), unescaped(v));
     }},
};

std::vector<Case> load() {
    transcript::Defines defines;  // screens.txt's, used by the other files
    std::map<std::string, std::vector<transcript::Line>> files;
    for (const auto& entry : std::filesystem::directory_iterator(NV_SOURCE_DIR "/tests/e2e/data"))
        if (entry.path().extension() == ".txt")
            files[entry.path().filename()] = transcript::lines_of(entry.path(), defines);
    const auto text_of = [&](const std::string& t) {
        transcript::Screen s;
        return t.starts_with('@') ? (transcript::add(s, t, defines), s.printed) : unescaped(t);
    };
    std::vector<Case> cases;
    for (const auto& [file, lines] : files) {
        const auto other = [&, &file = file](Case& c, const transcript::Line& l) {
            if (l.key == "replace") {
                const size_t arrow = l.rest.find(" => ");
                c.replace.emplace_back(text_of(l.rest.substr(0, arrow)),
                                       text_of(l.rest.substr(arrow + 4)));
            } else if (auto set = SETTERS.find(l.key); set != SETTERS.end()) {
                set->second(c, l.rest);
            } else {
                ADD_FAILURE() << file << ":" << l.number << ": " << l.text;
            }
        };
        for (Case& c : transcript::cases_of<Case>(file, lines, defines, other))
            cases.push_back(std::move(c));
    }
    return cases;
}

void spoil(const std::string& edit, std::string& xfw) {
    std::smatch m;
    const auto n = [&m](int i) { return std::stoul(m[i].str(), nullptr, 0); };
    if (std::regex_match(edit, m, std::regex(R"(u32@(\d+)=(\w+))")))
        put_u32le(reinterpret_cast<unsigned char*>(&xfw[n(1)]), static_cast<uint32_t>(n(2)));
    else if (std::regex_match(edit, m, std::regex(R"(xor@(\d+)=(\w+))")))
        xfw[n(1)] ^= static_cast<char>(n(2));
    else if (std::regex_match(edit, m, std::regex(R"(size (\d+))")))
        xfw.resize(n(1));
    else
        ADD_FAILURE() << "spoil " << edit;
}

// The local calendar time as seconds, so that shifts by hours compare whatever the time zone.
long long calendar_now() {
    time_t t = time(nullptr);
    tm local{};
    localtime_r(&t, &local);
    return static_cast<long long>(timegm(&local));
}

// Checks the times the session shows, then makes them TIME and the status record's varying
// figures N. Each time set is the PC's local time shifted by the offset; each time read is the
// instrument's clock: the PC's time until a time was set, then shifted as set.
std::string normalize(const std::string& out, int offset_hours, long long before) {
    const long long after = calendar_now();
    static const std::regex when(R"((\d{4})/(\d\d)/(\d\d)  (\d\d):(\d\d):(\d\d))");
    long long shift = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), when), end; it != end; ++it) {
        tm t{};
        int* fields[] = {&t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min, &t.tm_sec};
        for (int i = 0; i < 6; ++i) *fields[i] = std::stoi((*it)[i + 1]);
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        if (it->prefix().str().ends_with("Setting device time: ")) shift = offset_hours * 3600LL;
        const long long moved = static_cast<long long>(timegm(&t)) - shift;
        EXPECT_TRUE(moved >= before - 2 && moved <= after + 2) << it->str();
    }
    static const std::regex varying(R"((voltage +=|gauge +=|gps_time +=) -?[\d.:]+)");
    return std::regex_replace(std::regex_replace(out, when, "TIME"), varying, "$1 N");
}

// Takes the event lines (whole, or after the ">" prompt) out of `out`: progress and spectrum in
// turn, 5 % and one spectrum a period, at least `want[0]` pairs, then the rest of `want` ("d":
// done, "c0": stabilisation result). spect.spc holds the last spectrum (two header values, 1024
// counts, the fixed line), its Cs-137 peak at channel 331 above the low-energy region.
void check_events(std::string* out, const strings& want, const std::string& spc_path) {
    static const std::regex event(
        R"((\d+)%|spectrum\(1024\) (\d+) received\.|(Done\.)|CS stab event\. Result:(-?\d+))");
    strings events, expected;
    std::string kept;
    size_t pos = 0;
    for (size_t nl; (nl = out->find('\n', pos)) != std::string::npos; pos = nl + 1) {
        const size_t body = std::min(out->find_first_not_of('>', pos), nl);
        const std::string text = out->substr(body, nl - body);
        std::smatch m;
        if (!std::regex_match(text, m, event)) {
            kept += out->substr(pos, nl + 1 - pos);
            continue;
        }
        events.push_back(m[1].matched   ? "p" + m[1].str()
                         : m[2].matched ? "s" + m[2].str()
                         : m[3].matched ? "d"
                                        : "c" + m[4].str());
        kept += out->substr(pos, body - pos);
    }
    *out = kept + out->substr(pos);
    const size_t pairs = events.size() < want.size() ? 0 : (events.size() + 1 - want.size()) / 2;
    for (size_t i = 1; i <= pairs; ++i)
        expected.insert(expected.end(), {"p" + std::to_string(std::min<size_t>(5 * i, 99)),
                                         "s" + std::to_string(i)});
    expected.insert(expected.end(), want.begin() + 1, want.end());
    EXPECT_GE(pairs, std::stoul(want[0]));
    EXPECT_EQ(events, expected);
    const std::string spc = read_text(spc_path);
    if (pairs == 0) {
        EXPECT_EQ(spc, "");
        return;
    }
    ASSERT_GT(spc.size(), 10u);
    EXPECT_EQ(spc.substr(spc.size() - 11), "\n6.8 0 3 0\n");
    std::vector<long> v;
    for (size_t at = 0; at < spc.size() - 10; at = spc.find('\n', at) + 1) {
        char* end;
        v.push_back(strtol(spc.c_str() + at, &end, 10));
        ASSERT_TRUE(*end == '\n' && end > spc.c_str() + at) << "line " << v.size();
    }
    ASSERT_EQ(v.size(), 1026u);
    EXPECT_GE(v[0], v[1]);  // real time, then live time
    EXPECT_EQ(std::max_element(v.begin() + 102, v.end()) - v.begin() - 2, 331);
}

// UTF-8 `text` as Windows PowerShell 5.1 saves a script: UTF-16 (LE or BE), after a byte-order
// mark when `first` (converted by iconv).
std::string utf16(std::string text, bool big_endian, bool first) {
    iconv_t cd = iconv_open(big_endian ? "UTF-16BE" : "UTF-16LE", "UTF-8");
    std::string out(4 * text.size(), '\0');
    char *in = text.data(), *to = out.data();
    size_t in_left = text.size(), to_left = out.size();
    iconv(cd, &in, &in_left, &to, &to_left);
    iconv_close(cd);
    out.resize(out.size() - to_left);
    return (first ? big_endian ? "\xfe\xff" : "\xff\xfe" : "") + out;
}

std::string replaced(std::string text, const std::string& piece, const std::string& by = "") {
    for (size_t at = 0; (at = text.find(piece, at)) != std::string::npos; at += by.size())
        text.replace(at, piece.size(), by);
    return text;
}

// One case of a data file: a session of nv-term against a simulator of its own.
void run_session(const Case& c) {
    TcpPeer nobody(false);  // bound, never listening: every connection is refused
    {
        SCOPED_TRACE(c.file + ":" + std::to_string(c.number) + ": " + c.name);
        Bench b;
        ASSERT_TRUE(b.start(c.sim));
        make_container(b, raw_image(c.image), c.container);
        if (!c.spoil.empty()) {
            std::string xfw = read_file(b.dir.file(c.container));
            spoil(c.spoil, xfw);
            write_file(b.dir.file(c.container), xfw);
        }
        const auto typed = [&](size_t from, size_t to) {
            std::string input = c.screen.typed.substr(from, to - from);
            for (auto [token, port] :
                 {std::pair{"$PORT", b.sim.port()}, {"$NOBODY", nobody.port()}})
                input = replaced(input, token, std::to_string(port));
            return c.script.empty() ? input : utf16(input, c.script == "utf-16be", from == 0);
        };
        const std::string dir = b.dir.path() + (c.folder.empty() ? "" : "/" + c.folder);
        std::optional<Holder> reader;
        if (!c.folder.empty()) {
            mkdir(dir.c_str(), 0755);
            write_file(dir + "/spect.spc", "old\n");
            ASSERT_TRUE(reader.emplace(dir + "/spect.spc").holding());
        }
        std::set<std::string> files(c.files.begin(), c.files.end());
        for (const strings& l : c.leftovers) {  // name, hours untouched, kind
            const std::string path = dir + "/" + l[0], kind = l.size() > 2 ? l[2] : "";
            if (kind == "nobody" && geteuid() != 0 && files.erase(l[0])) continue;  // needs root
            ASSERT_TRUE(kind != "folder" || mkdir(path.c_str(), 0700) == 0);
            ASSERT_TRUE(kind != "symlink" || symlink("fw.tar", path.c_str()) == 0);
            if (kind != "folder" && kind != "symlink") write_file(path, "a container cut short");
            ASSERT_TRUE(kind != "linked" || link(path.c_str(), (path + "-kept").c_str()) == 0);
            ASSERT_TRUE(kind != "nobody" || chown(path.c_str(), 65534, 65534) == 0);
            const timespec when = {time(nullptr) - std::stol(l[1]) * 3600, 0},
                           times[] = {when, when};
            ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
        }
        const long long before = calendar_now();
        proc::Child s;
        ASSERT_TRUE(s.start(c.args, dir));
        size_t sent = 0;
        for (const auto& [at, text] : c.waits) {
            s.send(typed(sent, at));
            sent = at;
            EXPECT_TRUE(s.wait_for(text, true)) << text;
        }
        s.send(typed(sent, c.screen.typed.size()));
        // A session waits out a few time-outs of a second or so at most: one that waits far
        // longer (a time-out taken in the wrong unit) ends the test here.
        proc::Result r = s.finish(20000);
        ASSERT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, c.exit);
        const std::set<std::string> names = names_in(dir);
        EXPECT_TRUE(files.empty() || names == files) << testing::PrintToString(names);
        std::string out = normalize(r.output, c.offset, before);
        if (!c.events.empty()) check_events(&out, c.events, dir + "/spect.spc");
        const size_t dialogue = out.find("Connecting device...");
        for (const std::string& text : c.anywhere)
            EXPECT_TRUE(take_once(&out, text, dialogue)) << text;
        for (const std::string& text : c.ignore) out = replaced(out, text);
        for (const auto& [text, as] : c.replace) out = replaced(out, text, as);
        EXPECT_EQ(out, c.screen.printed);
        // What the simulator was asked after the identification probes (8007) that opened the link.
        strings after = b.requests();
        const size_t probes =
            std::find_if(after.begin(), after.end(),
                         [](const std::string& r) { return r.rfind("8007:", 0) != 0; }) -
            after.begin();
        after.erase(after.begin(), after.begin() + static_cast<long>(probes));
        EXPECT_TRUE(c.sent.empty() || after == c.sent) << testing::PrintToString(after);
        EXPECT_TRUE(!c.probes || probes == c.probes) << probes;
    }
}

// Each case of the data files a test of its own, named after its file and its words, so that a
// failure names its case in ctest's list, and ctest runs them side by side.
class Session : public testing::Test {
  public:
    explicit Session(Case c) : c_(std::move(c)) {}
    void TestBody() override { run_session(c_); }

  private:
    Case c_;
};

std::string test_name(const Case& c, size_t number) {
    std::string name = c.file.substr(0, c.file.find('.')) + "_" + std::to_string(number) + "_";
    for (char ch : c.name.substr(0, 60))
        if (std::isalnum(static_cast<unsigned char>(ch)))
            name += ch;
        else if (name.back() != '_')
            name += '_';
    while (name.back() == '_') name.pop_back();
    return name;
}

[[maybe_unused]] const bool registered = [] {
    std::map<std::string, size_t> numbers;  // each file's cases from 1
    for (const Case& c : load())
        testing::RegisterTest("Sessions", test_name(c, ++numbers[c.file]).c_str(), nullptr, nullptr,
                              __FILE__, __LINE__,
                              [c]() -> testing::Test* { return new Session(c); });
    return true;
}();

// The data files were found and read: a missing one would leave its cases untried.
TEST(Sessions, TheDataFilesHoldTheirCases) {
    EXPECT_GT(load().size(), 40u);
}

}  // namespace
