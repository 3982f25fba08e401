// The instrument's asynchronous events: which handler each code reaches, every handler's console
// line with "EVENTS" on and off, events too short for the fields they carry, and the spectrum
// text of SaveSpec.
#include <fstream>

#include "fixture.h"
#include "q8_cmds.h"

namespace {

using Events = Linked;

// Event data whose i32 fields at 4 and 8 are `a` and `b`, `size` bytes long.
Bytes data(size_t size, int32_t a = 0, int32_t b = 0) {
    Bytes d(size, 0xEE);
    if (size >= 8) put_i32le(d.data() + 4, a);
    if (size >= 12) put_i32le(d.data() + 8, b);
    return d;
}
// Spectrum header data: channel count at 2, the printed value at 8.
Bytes spectrum_header(size_t size, int32_t count, uint16_t value) {
    Bytes d(size, 0);
    if (size >= 6) put_i32le(d.data() + 2, count);
    if (size >= 10) put_u16le(d.data() + 8, value);
    return d;
}

using Handler = int (*)(int, void*, const unsigned char*, int);

TEST_F(Events, HooksOneHandlerPerCodeInOrder) {
    fake_qxx::st().hook_result = 5;
    EXPECT_EQ(Q8_cmd_hook_events(9), 5);
    const std::vector<std::tuple<int, int, QXX_event_handler>> want = {
        {9, 10003, Q8_event_keyboard_data},     {9, 10002, Q8_event_spectrum_data},
        {9, 10005, Q8_event_total_data},        {9, 10007, Q8_event_status_data},
        {9, 10010, Q8_event_light_sensor_data}, {9, 10012, Q8_event_progress_indication_data},
        {9, 10015, Q8_event_cs_stab_data},
    };
    EXPECT_EQ(fake_qxx::st().hooks, want);
}

TEST_F(Events, EachHandlerPrintsItsLine) {
    const struct {
        const char* name;
        Handler handler;
        int code;
        Bytes payload;
        std::string shown_on, shown_off;  // with "EVENTS" on, and off
    } cases[] = {
        // clang-format off
        {"key 7", Q8_event_keyboard_data, 10003, data(8, 7), "Keyboard event: Key=7\n", ""},
        {"key -3, longer data", Q8_event_keyboard_data, 10003, data(20, -3), "Keyboard event: Key=-3\n", ""},
        {"key, data too short", Q8_event_keyboard_data, 10003, data(7), "", ""},
        {"total", Q8_event_total_data, 10005, {}, "Total event\n", ""},
        {"status", Q8_event_status_data, 10007, data(3), "Status event\n", ""},
        {"light sensor", Q8_event_light_sensor_data, 10010, {}, "Light sensor monochromatic event\n", ""},
        {"progress 45 %", Q8_event_progress_indication_data, 10012, data(12, 45, 0), "45%\n", "45%\n"},
        {"progress done", Q8_event_progress_indication_data, 10012, data(12, 45, 1), "Done.\n", "Done.\n"},
        {"progress, state 2", Q8_event_progress_indication_data, 10012, data(12, 45, 2), "", ""},
        {"progress, state -1", Q8_event_progress_indication_data, 10012, data(12, 45, -1), "", ""},
        {"progress, data too short", Q8_event_progress_indication_data, 10012, data(11, 45, 0), "", ""},
        {"cs stab 17", Q8_event_cs_stab_data, 10015, data(8, 17), "CS stab event. Result:17\n", "CS stab event. Result:17\n"},
        {"cs stab -1", Q8_event_cs_stab_data, 10015, data(9, -1), "CS stab event. Result:-1\n", "CS stab event. Result:-1\n"},
        {"cs stab, data too short", Q8_event_cs_stab_data, 10015, data(7), "", ""},
        {"spectrum header only", Q8_event_spectrum_data, 10002, spectrum_header(10, 512, 65535), "spectrum(512) 65535 received.\n", "spectrum(512) 65535 received.\n"},
        {"spectrum of 1023", Q8_event_spectrum_data, 10002, spectrum_header(4326, 1023, 3), "spectrum(1023) 3 received.\n", "spectrum(1023) 3 received.\n"},
        {"spectrum of 1025", Q8_event_spectrum_data, 10002, spectrum_header(4326, 1025, 4), "spectrum(1025) 4 received.\n", "spectrum(1025) 4 received.\n"},
        {"spectrum, header too short", Q8_event_spectrum_data, 10002, spectrum_header(9, 512, 1), "", ""},
        {"spectrum of 1024, channels missing", Q8_event_spectrum_data, 10002, spectrum_header(4325, 1024, 1), "", ""},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int on : {1, 0}) {
            Console con;
            log_setlevel("EVENTS", on);
            EXPECT_EQ(c.handler(7, nullptr, frame_of(c.code, c.payload).data(), 0), 0);
            EXPECT_EQ(con.out(), on ? c.shown_on : c.shown_off) << "EVENTS " << on;
        }
        EXPECT_FALSE(std::filesystem::exists("spect.spc"));
    }
    Console con;
    EXPECT_EQ(Q8_event_keyboard_data(7, nullptr, nullptr, 0), 0);
    EXPECT_EQ(Q8_event_progress_indication_data(7, nullptr, nullptr, 0), 0);
    EXPECT_EQ(Q8_event_cs_stab_data(7, nullptr, nullptr, 0), 0);
    EXPECT_EQ(Q8_event_spectrum_data(7, nullptr, nullptr, 0), 0);
    EXPECT_EQ(con.out(), "");
}

// A full spectrum: the file is 1027 lines, header values from 116 then 112, the fixed last line.
TEST_F(Events, FullSpectrumIsSaved) {
    Bytes d(4326, 0x5A);
    put_i32le(d.data() + 2, 1024);
    put_u16le(d.data() + 8, 300);
    put_i32le(d.data() + 112, -2);
    put_i32le(d.data() + 116, 1234567);
    std::string want = "1234567\n-2\n";
    for (int i = 0; i < 1024; ++i) {
        int32_t v = (i % 3 == 0 ? -1 : 1) * i * 1000;
        put_i32le(d.data() + 230 + 4 * i, v);
        want += std::to_string(v) + "\n";
    }
    want += "6.8 0 3 0\n";
    Console con;
    EXPECT_EQ(Q8_event_spectrum_data(7, nullptr, frame_of(10002, d).data(), 0), 0);
    EXPECT_EQ(con.out(), "spectrum(1024) 300 received.\n");
    std::ifstream f("spect.spc", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), want);
    EXPECT_FALSE(std::filesystem::exists("spect.spc.tmp"));
}

// A user's file named like a temporary file is never touched, and a spectrum that cannot take
// the place of the old file (a folder in its way) leaves nothing behind.
TEST_F(Events, ASaveTouchesNothingButTheSpectrum) {
    Bytes d(4326, 0);
    put_i32le(d.data() + 2, 1024);
    const Bytes frame = frame_of(10002, d);
    Console con;
    std::ofstream("spect.spc") << "old\n";
    std::filesystem::create_symlink("/dev/full", "spect.spc.tmp");
    Q8_event_spectrum_data(7, nullptr, frame.data(), 0);
    EXPECT_TRUE(std::filesystem::is_symlink("spect.spc.tmp"));
    std::ifstream f("spect.spc");
    std::string saved(std::istreambuf_iterator<char>(f), {});
    EXPECT_EQ(saved, times("0\n", 1026) + "6.8 0 3 0\n");
    std::filesystem::remove("spect.spc");
    std::filesystem::remove("spect.spc.tmp");
    std::filesystem::create_directories("spect.spc/inside");  // rename refuses
    Q8_event_spectrum_data(7, nullptr, frame.data(), 0);
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(".")) ++entries;
    EXPECT_EQ(entries, 1);
    EXPECT_TRUE(std::filesystem::is_directory("spect.spc/inside"));
    EXPECT_EQ(con.out(), times("spectrum(1024) 0 received.\n", 2));
}

std::string read_text(const char* path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// SaveSpec: to a text buffer (no file), or to a file; the closing line from the scale.
TEST_F(Events, SaveSpecWritesTheSpectrumText) {
    const int32_t values[] = {5, -6, 0, 2147483647};
    const struct {
        const int32_t* values;
        int count;
        int32_t first, second;
        float scale;
        std::string text;
    } cases[] = {
        {values, 4, 11, -22, 680,
         "11\n-22\n5\n-6\n0\n2147483647\n6.80 0.000000 3.000000 0.000000\n"},
        {values, 1, 0, 0, 12.345f, "0\n0\n5\n0.12 0.000000 3.000000 0.000000\n"},
        {values, 0, 1, 2, -50, "1\n2\n-0.50 0.000000 3.000000 0.000000\n"},
        {values, -3, 1, 2, 0, "1\n2\n0.00 0.000000 3.000000 0.000000\n"},
        {nullptr, 3, 1, 2, 100, "1\n2\n1.00 0.000000 3.000000 0.000000\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        char text[4096];
        std::memset(text, 'x', sizeof text);
        EXPECT_EQ(SaveSpec("buffer.spc", c.values, c.count, c.first, c.second, c.scale, text), 0);
        EXPECT_EQ(std::string(text), c.text);
        EXPECT_FALSE(std::filesystem::exists("buffer.spc"));

        std::ofstream("file.spc") << "an older and longer spectrum text\n" << std::string(200, 'o');
        EXPECT_EQ(SaveSpec("file.spc", c.values, c.count, c.first, c.second, c.scale, nullptr), 0);
        EXPECT_EQ(read_text("file.spc"), c.text);
    }
    EXPECT_EQ(SaveSpec("no/such/dir.spc", values, 4, 1, 2, 3, nullptr), 0);
    EXPECT_FALSE(std::filesystem::exists("no"));
}

}  // namespace
