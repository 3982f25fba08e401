// The instrument's asynchronous events: which handler each code reaches, every handler's console
// line with "EVENTS" on and off, and events too short for the fields they carry. (The spectrum
// file: files_test.cpp.)
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

}  // namespace
