// Bad answers at every prompt nv-term can show here, through the binary: out-of-range numbers,
// garbage, lines longer than the buffers, bytes that are not text, and the end of input. The
// prompt repeats without comment, an empty answer keeps the value shown, and the program never
// crashes or hangs and ends with exit code 0.
//
// A line longer than the answer buffer (1023 characters and the newline) is read in two pieces:
// the first is refused, the newline left over is an empty answer and keeps the value. A NUL byte
// ends the line's text where it stands.
#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "session.h"

namespace {

using namespace session;

const std::string LONG_ANSWER = std::string(1023, '7') + "\n";  // fills the answer buffer
const std::string LONG_COMMAND = std::string(254, 'x');         // fills the command buffer
// Answers every numeric prompt refuses, whatever its range here.
const std::string GARBAGE = "9999\n-9999\nabc\n\xff\xfe\n\x1b[A\n99999999999999999999\n";
constexpr int GARBAGE_LINES = 6;

std::string times(const std::string& text, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += text;
    return out;
}

const std::string TYPES = "0. No device\n1. USB\n2. COM port\n3. Net\n\n";
const std::string HOSTS = "0. 127.0.0.1\n1. 192.168.7.1\n2. Discover host\n3. Enter host\n\n";
const std::string NO_LINK = "\nConnecting device...\nError connecting device!\n";

// Runs with standard input `input`, in which "PORT" stands for the simulator's port.
proc::Result run_with_port(Bench& b, std::string input) {
    for (size_t at; (at = input.find("PORT")) != std::string::npos;)
        input.replace(at, 4, std::to_string(b.sim.port()));
    return e2e::nv_term(input, b.dir.path(), {}, RUN_LIMIT_MS);
}

TEST(BadInput, ConnectionDialogue) {
    const std::string host_prompt = "Select host[1]:";
    const std::string typed_host = "Enter host[]:";
    const struct {
        const char* name;
        std::string input;
        std::string output;  // after the banner
    } cases[] = {
        {"type: refused answers, then the end of input keeps USB", GARBAGE,
         TYPES + times("Select connection type[1]:", GARBAGE_LINES + 1) +
             "0. No device\n\nSelect device[0]:" + NO_LINK},
        {"type: a NUL byte reads as an empty answer",
         std::string("\0"
                     "3\n",
                     3),
         TYPES + "Select connection type[1]:0. No device\n\nSelect device[0]:" + NO_LINK},
        {"type: a line longer than the buffer, then its newline keeps USB", LONG_ANSWER + "3\n",
         TYPES + times("Select connection type[1]:", 2) + "0. No device\n\n" +
             times("Select device[0]:", 2) + NO_LINK},
        {"USB device: refused answers, then the end of input keeps no device",
         "1\n" + GARBAGE + "1\n",
         TYPES + "Select connection type[1]:0. No device\n\n" +
             times("Select device[0]:", GARBAGE_LINES + 2) + NO_LINK},
        {"host: refused answers, a 19-character host, then the simulator",
         "3\n" + GARBAGE + "3\n" + std::string(19, 'h') + "\n" + LONG_ANSWER.substr(0, 300) +
             "\n127.0.0.1:PORT\nq\n",
         TYPES + "Select connection type[1]:" + HOSTS + times(host_prompt, GARBAGE_LINES + 1) +
             times(typed_host, 3) + "\nConnecting device...Ok.\n" + e2e::MENU + QUIT_CONNECTED},
        {"host: the end of input leaves no host to connect to", "3\n3\n",
         TYPES + "Select connection type[1]:" + HOSTS + host_prompt + typed_host + NO_LINK},
        {"host: a line longer than the buffer keeps the empty host", "3\n3\n" + LONG_ANSWER,
         TYPES + "Select connection type[1]:" + HOSTS + host_prompt + times(typed_host, 2) +
             NO_LINK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        ASSERT_TRUE(b.start());
        proc::Result r = run_with_port(b, c.input);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.output, e2e::BANNER + c.output);
    }
}

TEST(BadInput, SerialPortNumbersOutOfRange) {
    // Port 255 exists on no machine here: the connection fails, reported from both threads.
    auto r = e2e::nv_term("2\n0\n256\n" + GARBAGE + "255\n", "", {}, RUN_LIMIT_MS);
    const std::string shown = e2e::BANNER + TYPES + "Select connection type[1]:" +
                              times("Select COM port[1]:", GARBAGE_LINES + 3) +
                              "\nConnecting device...";
    EXPECT_EQ(r.output.substr(0, shown.size()), shown);
    EXPECT_NE(r.output.find("\nError connecting device!\n", shown.size()), std::string::npos);
    EXPECT_EQ(r.exit_code, 0);
}

// The time a "Setting device time" line shows, as seconds since the epoch; -1 when none.
time_t time_set(const std::string& output) {
    std::smatch m;
    static const std::regex line(
        R"(Setting device time: (\d{4})/(\d\d)/(\d\d)  (\d\d):(\d\d):(\d\d))");
    if (!std::regex_search(output, m, line)) return -1;
    struct tm t {};
    t.tm_year = std::stoi(m[1]) - 1900;
    t.tm_mon = std::stoi(m[2]) - 1;
    t.tm_mday = std::stoi(m[3]);
    t.tm_hour = std::stoi(m[4]);
    t.tm_min = std::stoi(m[5]);
    t.tm_sec = std::stoi(m[6]);
    t.tm_isdst = -1;
    return mktime(&t);
}

std::string without(std::string text, const std::string& piece) {
    for (size_t at; (at = text.find(piece)) != std::string::npos;) text.erase(at, piece.size());
    return text;
}

TEST(BadInput, MenuAndCommandPrompts) {
    const Sums small = sums_of(raw_image(8));
    const std::string up =
        upload_head("nv52fw.xfw", 8, small) + "Erasing external flash....Ok.\n" + blocks_ok(1);
    const std::string offset = "Enter offset[0]:";
    const std::string file = "Enter XFW file name[nv52fw.xfw]:";
    const std::string set_time = "Setting device time: TIME ...Ok.\n";
    const std::string box_sample =
        "______________________________________________\n"
        "| Insert sample and press ENTER              |\n"
        "______________________________________________\n";
    const struct {
        const char* name;
        std::string commands;
        std::string body;  // after the menu; TIME stands for the time sent
        int offset_hours;  // the offset the time was set with
    } cases[] = {
        {"menu: unknown words, bytes that are not text, an escape sequence",
         "xyz\n" + std::string(1, '\0') + "ve\n\xff\xfe\n\x1b[2J\n\t \nq\n", times(">", 5), 0},
        {"menu: a line filling the buffer, its rest read as the next command",
         "ve" + std::string(252, ' ') + "\n" + LONG_COMMAND + "ve\nq\n",
         ">" + VERSIONS + ">>>" + VERSIONS, 0},
        {"menu: the end of input quits", "", "", 0},
        {"set time: refused offsets, then 5", "st 13\n-13\n" + GARBAGE + "5\nq\n",
         times(">" + offset, 1) + times(offset, GARBAGE_LINES + 1) + set_time, 5},
        {"set time: a line longer than the buffer keeps 0", "st\n" + LONG_ANSWER + "q\n",
         ">" + times(offset, 2) + set_time, 0},
        {"set time: the end of input keeps 0", "st abc\n", ">" + offset + set_time, 0},
        {"upload: names too long, then the default",
         "up\n" + std::string(256, 'n') + "\n" + LONG_ANSWER + "q\n",
         ">" + times(file, 2) + up.substr(1), 0},
        {"upload: the end of input takes the default", "up\n", up, 0},
        {"flash: a name of bytes that are not text", "fl\n\x1b[A\xff\nq\n",
         ">" + file + "Error loading file:\x1b[A\xff!\n", 0},
        {"flash: the end of input takes the default", "fl\n",
         ">" + file + "Reading file nv52fw.xfw...Ok.\nEncrypted:0x01\nRaw checksum:" +
             hex8(small.raw) + "\nEnc checksum:" + hex8(small.enc) +
             "\nStarting memory flashing process...Command " + "Q5_cmd_flash_fw error(code=1)!\n",
         0},
        {"assay: anything at the box is an Enter", "as\n" + LONG_ANSWER + "\x1b[A\nq\n",
         ">" + box_sample + ">", 0},
        {"assay: the end of input at the box", "as\n", ">" + box_sample, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        ASSERT_TRUE(b.start({"--event-ms", "60000"}));
        make_container(b, raw_image(8), "nv52fw.xfw");
        const time_t before = time(nullptr);
        proc::Result r = b.run(c.commands);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_code, 0);
        // The stop of an assay reports its end through an event, whenever it comes.
        std::string output = without(r.output, "Done.\n");
        const time_t set = time_set(output);
        if (set != -1) {
            const time_t moved = set - c.offset_hours * 3600;
            EXPECT_GE(moved, before - 2);
            EXPECT_LE(moved, time(nullptr) + 2);
            output = std::regex_replace(output, std::regex(R"(\d{4}/\d\d/\d\d  \d\d:\d\d:\d\d)"),
                                        "TIME");
        }
        EXPECT_EQ(output, connected_start() + c.body + QUIT_CONNECTED);
    }
}

}  // namespace
