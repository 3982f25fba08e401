// The instrument's event handlers: their lines, short events ignored, and the spectrum file,
// which holds the last full spectrum and is never left half written.
#include <fstream>
#include <sstream>

#include "fixture.h"
#include "q8_cmds.h"

namespace {

using Events = Linked;
using Handler = int (*)(int, void*, const unsigned char*, int);

Bytes ints_at(size_t size, std::initializer_list<std::pair<int, int32_t>> fields) {
    Bytes b(size, 0);
    for (const auto& [off, v] : fields) put_i32le(b.data() + off, v);
    return b;
}

// A spectrum event of `count` channels; channel i holds i * mul - 5, the header values 111, 222.
Bytes spectrum(int32_t count, int32_t mul, size_t size = 4326) {
    Bytes d = ints_at(size, {{2, count}, {112, 222}, {116, 111}});
    put_u16le(d.data() + 8, 77);
    for (int i = 0; i < 1024 && 230 + 4 * i + 4 <= static_cast<int>(size); ++i)
        put_i32le(d.data() + 230 + 4 * i, i * mul - 5);
    return frame_of(10002, d);
}
std::string spectrum_text(int32_t mul) {
    std::string t = "111\n222\n";
    for (int i = 0; i < 1024; ++i) t += std::to_string(i * mul - 5) + "\n";
    return t + "6.8 0 3 0\n";
}
std::string read_file(const char* path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

TEST_F(Events, HandlersPrintTheirLines) {
    struct {
        Handler handler;
        int code;
        Bytes data;
        bool events_on;
        std::string out;
    } cases[] = {
        {Q8_event_progress_indication_data, 10012, ints_at(12, {{4, 45}}), false, "45%\n"},
        {Q8_event_progress_indication_data, 10012, ints_at(12, {{4, 45}, {8, 2}}), false, ""},
        {Q8_event_cs_stab_data, 10015, ints_at(8, {{0, 99}, {4, -17}}), false,
         "CS stab event. Result:-17\n"},
        {Q8_event_keyboard_data, 10003, ints_at(8, {{4, 7}}), false, ""},
        {Q8_event_keyboard_data, 10003, ints_at(8, {{4, 7}}), true, "Keyboard event: Key=7\n"},
        {Q8_event_total_data, 10005, {}, true, "Total event\n"},
        {Q8_event_status_data, 10007, {1, 2}, true, "Status event\n"},
        {Q8_event_light_sensor_data, 10010, {}, true, "Light sensor monochromatic event\n"},
        {Q8_event_progress_indication_data, 10012, Bytes(11), true, ""},  // short: ignored
        {Q8_event_cs_stab_data, 10015, Bytes(7), true, ""},
        {Q8_event_keyboard_data, 10003, Bytes(7), true, ""},
        {Q8_event_spectrum_data, 10002, Bytes(9), true, ""},
    };
    for (const auto& c : cases) {
        Console con;
        log_setlevel("EVENTS", c.events_on ? 1 : 0);
        Bytes f = frame_of(c.code, c.data);
        EXPECT_EQ(c.handler(7, nullptr, f.data(), 0), 0);
        EXPECT_EQ(con.out(), c.out) << c.code;
    }
}

TEST_F(Events, SpectrumFileHoldsTheLastFullSpectrum) {
    Console con;
    std::ofstream("spect.spc") << "old\n";
    // Announced, not saved: another channel count, or a full count that lacks its channels.
    Q8_event_spectrum_data(7, nullptr, spectrum(512, 1).data(), 0);
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, 1, 4325).data(), 0);
    EXPECT_EQ(con.out(), "spectrum(512) 77 received.\n");
    EXPECT_EQ(read_file("spect.spc"), "old\n");
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, 3).data(), 0);
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, -2).data(), 0);
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2));
    // A file that cannot be written leaves the previous spectrum whole.
    std::filesystem::create_directory("spect.spc.tmp");
    Q8_event_spectrum_data(7, nullptr, spectrum(1024, 5).data(), 0);
    EXPECT_EQ(read_file("spect.spc"), spectrum_text(-2));
}

}  // namespace
