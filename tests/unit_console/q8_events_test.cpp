// The instrument's asynchronous events and the spectrum file.
#include <fstream>
#include <sstream>

#include "q8_cmds.h"
#include "q8_support.h"

namespace {

using Q8Events = Q8Test;
using Handler = int (*)(int, void*, const unsigned char*, int);

Bytes ints_at(size_t size, std::initializer_list<std::pair<int, int32_t>> fields) {
    Bytes b(size, 0);
    for (const auto& [off, v] : fields) set_i32(b, off, v);
    return b;
}

// A spectrum event of `count` channels; channel i holds i * mul - 5, the header values 111, 222.
Bytes spectrum_event(int32_t count, int32_t mul, size_t size = 4326) {
    Bytes d(size, 0);
    set_i32(d, 2, count);
    set_u16(d, 8, 77);
    set_i32(d, 112, 222);
    set_i32(d, 116, 111);
    for (int i = 0; i < 1024 && 230 + 4 * i + 4 <= static_cast<int>(size); ++i)
        set_i32(d, 230 + 4 * i, i * mul - 5);
    return frame_of(10002, d);
}

std::string read_file(const char* path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string spectrum_text(int32_t mul) {
    std::string t = "111\n222\n";
    for (int i = 0; i < 1024; ++i) t += std::to_string(i * mul - 5) + "\n";
    return t + "6.8 0 3 0\n";
}

TEST_F(Q8Events, HandlersPrintTheirLines) {
    struct Case {
        const char* name;
        Handler handler;
        int code;
        Bytes data;
        bool events_on;
        std::string out;
    } cases[] = {
        {"progress 45", Q8_event_progress_indication_data, 10012, ints_at(12, {{4, 45}}), false,
         "45%\n"},
        {"progress done", Q8_event_progress_indication_data, 10012, ints_at(12, {{4, 45}, {8, 1}}),
         false, "Done.\n"},
        {"progress other", Q8_event_progress_indication_data, 10012, ints_at(12, {{4, 45}, {8, 2}}),
         false, ""},
        {"cs stab", Q8_event_cs_stab_data, 10015, ints_at(8, {{0, 99}, {4, -17}}), false,
         "CS stab event. Result:-17\n"},
        {"key, events off", Q8_event_keyboard_data, 10003, ints_at(8, {{4, 7}}), false, ""},
        {"key, events on", Q8_event_keyboard_data, 10003, ints_at(8, {{4, 7}}), true,
         "Keyboard event: Key=7\n"},
        {"total off", Q8_event_total_data, 10005, {}, false, ""},
        {"total", Q8_event_total_data, 10005, {}, true, "Total event\n"},
        {"status", Q8_event_status_data, 10007, {1, 2}, true, "Status event\n"},
        {"light",
         Q8_event_light_sensor_data,
         10010,
         {},
         true,
         "Light sensor monochromatic event\n"},
        // Events shorter than the fields their handler reads are ignored.
        {"short progress", Q8_event_progress_indication_data, 10012, Bytes(11), false, ""},
        {"short cs stab", Q8_event_cs_stab_data, 10015, Bytes(7), false, ""},
        {"short key", Q8_event_keyboard_data, 10003, Bytes(7), true, ""},
        {"short spectrum", Q8_event_spectrum_data, 10002, Bytes(9), false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Console con;
        log_setlevel("EVENTS", c.events_on ? 1 : 0);
        Bytes f = frame_of(c.code, c.data);
        EXPECT_EQ(c.handler(7, nullptr, f.data(), 0), 0);
        EXPECT_EQ(con.out(), c.out);
    }
}

TEST_F(Q8Events, HookEventsRegistersSevenHandlersInOrder) {
    EXPECT_EQ(Q8_cmd_hook_events(7), 0);
    std::vector<std::pair<int, QXX_event_handler>> expected = {
        {10003, Q8_event_keyboard_data},     {10002, Q8_event_spectrum_data},
        {10005, Q8_event_total_data},        {10007, Q8_event_status_data},
        {10010, Q8_event_light_sensor_data}, {10012, Q8_event_progress_indication_data},
        {10015, Q8_event_cs_stab_data},
    };
    EXPECT_EQ(fake_qxx::hooks(), expected);
}

TEST_F(Q8Events, SpectrumFileHoldsTheLastFullSpectrum) {
    ScratchDir dir;
    Console con;
    std::ofstream("spect.spc") << "old\n";

    // Announced, not saved: another channel count, or a full count that lacks its channels.
    Q8_event_spectrum_data(7, nullptr, spectrum_event(512, 1).data(), 0);
    Q8_event_spectrum_data(7, nullptr, spectrum_event(1024, 1, 4325).data(), 0);
    EXPECT_EQ(con.out(), "spectrum(512) 77 received.\n");
    EXPECT_EQ(read_file("spect.spc"), "old\n");

    con.clear();
    Q8_event_spectrum_data(7, nullptr, spectrum_event(1024, 3).data(), 0);
    Q8_event_spectrum_data(7, nullptr, spectrum_event(1024, -2).data(), 0);
    EXPECT_EQ(con.out(), repeat("spectrum(1024) 77 received.\n", 2));
    std::string text = read_file("spect.spc");
    EXPECT_EQ(text, spectrum_text(-2));
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1027);

    // A file that cannot be written leaves the previous spectrum whole.
    std::filesystem::create_directory("spect.spc.tmp");
    Q8_event_spectrum_data(7, nullptr, spectrum_event(1024, 5).data(), 0);
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2));
}

TEST_F(Q8Events, SaveSpecWritesToABufferOrAFile) {
    ScratchDir dir;
    const int32_t values[] = {1, -2, 3};
    struct Case {
        int count;
        float scale;
        std::string text;
    } cases[] = {
        {3, 680.0f, "10\n20\n1\n-2\n3\n6.80 0.000000 3.000000 0.000000\n"},
        {0, 5.0f, "10\n20\n0.05 0.000000 3.000000 0.000000\n"},
        {-1, -1234.0f, "10\n20\n-12.34 0.000000 3.000000 0.000000\n"},
    };
    for (const auto& c : cases) {
        char buf[256];
        memset(buf, 'x', sizeof buf);
        EXPECT_EQ(SaveSpec("buffered.spc", values, c.count, 10, 20, c.scale, buf), 0);
        EXPECT_EQ(std::string(buf), c.text);
        EXPECT_FALSE(std::filesystem::exists("buffered.spc"));  // a buffer means no file

        EXPECT_EQ(SaveSpec("out.spc", values, c.count, 10, 20, c.scale, nullptr), 0);
        EXPECT_EQ(read_file("out.spc"), c.text);
    }
    EXPECT_EQ(SaveSpec("no/such/dir/x.spc", values, 3, 1, 2, 1.0f, nullptr), 0);
}

}  // namespace
